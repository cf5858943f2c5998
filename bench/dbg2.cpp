// debug: where do front-end edges differ from sign edges on a dropout recording
#include <cstdio>
#include <memory>
#include "context.hpp"
#include "frontend/front_end.hpp"
#include "playback/render.hpp"
#include "input/file_bytes.hpp"
int main(int, char** argv) {
    kvr::FileBytes f; f.open(argv[1]);
    kvr::SampleInfo info; kvr::PcmRun run;
    kvr::parse_wav(f.bytes(), info, run);
    kvr::PcmFrameSource src(f.bytes(), run);
    auto lv = kvr::condition_signal(src, info.rate, kvr::FrontEndSettings{});
    std::vector<std::vector<float>> ch; src.read(0, run.frames, ch);
    auto& x = ch[0];
    // edges
    auto edges = [](auto get, size_t n){ std::vector<size_t> e; for (size_t i=1;i<n;++i) if (get(i)!=get(i-1)) e.push_back(i); return e; };
    auto a = edges([&](size_t i){return x[i]<0;}, x.size());
    auto b = edges([&](size_t i){return lv[i]<0;}, lv.size());
    printf("sign edges %zu, front edges %zu\n", a.size(), b.size());
    size_t i=0,j=0; int shown=0;
    while (i<a.size() && j<b.size() && shown<20) {
        long d=(long)a[i]-(long)b[j];
        if (d>3) { printf("front extra at %zu\n", b[j]); ++j; ++shown; }
        else if (d<-3) { printf("front missing at %zu (sign)\n", a[i]); ++i; ++shown; }
        else {++i;++j;}
    }
}

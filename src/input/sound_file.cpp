#include "input/sound_file.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>

namespace kvr {

namespace {

using Source = SoundFile::Source;

sf_count_t source_length(void* user) { return static_cast<sf_count_t>(static_cast<Source*>(user)->bytes.size()); }

sf_count_t source_seek(sf_count_t offset, int whence, void* user) {
    auto* s = static_cast<Source*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<sf_count_t>(s->pos);
    else if (whence == SEEK_END) base = static_cast<sf_count_t>(s->bytes.size());
    else if (whence != SEEK_SET) return -1;
    // Offsets come from headers: keep their sum from overflowing.
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
    s->pos = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

sf_count_t source_read(void* dest, sf_count_t count, void* user) {
    auto* s = static_cast<Source*>(user);
    if (count <= 0 || s->pos >= s->bytes.size()) return 0;
    const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), s->bytes.size() - s->pos);
    std::memcpy(dest, s->bytes.data() + s->pos, n);
    s->pos += n;
    return static_cast<sf_count_t>(n);
}

sf_count_t source_write(const void*, sf_count_t, void*) { return 0; }

sf_count_t source_tell(void* user) { return static_cast<sf_count_t>(static_cast<Source*>(user)->pos); }

SF_VIRTUAL_IO kMemoryFile = {source_length, source_seek, source_read, source_write, source_tell};

bool float_coding(int subtype) {
    switch (subtype) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III: return true;
    default: return false;
    }
}

SF_FORMAT_INFO format_info(int format, int command) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, command, &info, sizeof info) != 0 || info.name == nullptr) info.name = "";
    if (info.extension == nullptr) info.extension = "";
    return info;
}

// "FLAC (Free Lossless Audio Codec)" with extension "flac" gives "FLAC Audio File (FLAC)".
// Containers of several codecs name the codec instead: "OGG Audio File (Vorbis)".
std::string describe(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const SF_FORMAT_INFO m = format_info(major, SFC_GET_FORMAT_INFO);
    std::string name = m.name;
    name = name.substr(0, name.find(" ("));
    const std::string audio = " Audio";
    if (name.size() > audio.size() && name.compare(name.size() - audio.size(), audio.size(), audio) == 0)
        name.resize(name.size() - audio.size());
    std::string kind;
    if (major == SF_FORMAT_OGG || major == SF_FORMAT_MPEG) {
        kind = format_info(format & SF_FORMAT_SUBMASK, SFC_GET_FORMAT_INFO).name;
    } else {
        kind = m.extension;
        for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (name.empty()) name = "Unnamed";
    return kind.empty() ? name + " Audio File" : name + " Audio File (" + kind + ")";
}

const char* type_name_of(int format) {
    // One text per format for the life of the process: the info lines point at it.
    static std::map<int, std::string> names;
    auto it = names.find(format);
    if (it == names.end()) it = names.emplace(format, describe(format)).first;
    return it->second.c_str();
}

// Whether MPEG audio starts with a frame that counts the frames ("Xing", "Info" or "VBRI");
// without one the library estimates the length from the file size.
bool mpeg_counts_frames(Bytes file) {
    std::size_t at = 0;
    if (file.size() >= 10 && std::memcmp(file.data(), "ID3", 3) == 0) {
        const std::size_t tag = (std::size_t{file[6]} & 0x7F) << 21 | (std::size_t{file[7]} & 0x7F) << 14 |
                                (std::size_t{file[8]} & 0x7F) << 7 | (std::size_t{file[9]} & 0x7F);
        at = 10 + tag + ((file[5] & 0x10) ? 10 : 0);
    }
    const std::size_t search_end = std::min(file.size(), at + 4096);
    while (at + 1 < search_end && !(file[at] == 0xFF && (file[at + 1] & 0xE0) == 0xE0)) ++at;
    const std::size_t end = std::min(file.size(), at + 64);
    for (std::size_t i = at + 4; i + 4 <= end; ++i) {
        for (const char* tag : {"Xing", "Info", "VBRI"})
            if (std::memcmp(file.data() + i, tag, 4) == 0) return true;
    }
    return false;
}

}  // namespace

SoundFile::~SoundFile() {
    if (file_ != nullptr) sf_close(file_);
}

SoundFile::Opened SoundFile::open(Bytes file) {
    source_ = Source{file, 0};
    SF_INFO info{};
    file_ = sf_open_virtual(&kMemoryFile, SFM_READ, &info, &source_);
    if (file_ == nullptr)
        return sf_error(nullptr) == SF_ERR_UNRECOGNISED_FORMAT ? Opened::unknown : Opened::damaged;
    rate_ = info.samplerate;
    channels_ = info.channels;
    frames_ = (info.frames < 0 || info.frames == SF_COUNT_MAX) ? -1 : info.frames;
    const int major = info.format & SF_FORMAT_TYPEMASK;
    length_exact_ = major != SF_FORMAT_MPEG || mpeg_counts_frames(file);
    end_missing_ = major == SF_FORMAT_OGG && frames_ < 0;
    float_ = float_coding(info.format & SF_FORMAT_SUBMASK);
    type_name_ = type_name_of(info.format);
    return Opened::ok;
}

std::size_t SoundFile::read(std::int32_t* dest, std::size_t frames) {
    const sf_count_t n = sf_readf_int(file_, dest, static_cast<sf_count_t>(frames));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t SoundFile::read(float* dest, std::size_t frames) {
    const sf_count_t n = sf_readf_float(file_, dest, static_cast<sf_count_t>(frames));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool SoundFile::decode_failed() const { return file_ != nullptr && sf_error(file_) != SF_ERR_NO_ERROR; }

}  // namespace kvr

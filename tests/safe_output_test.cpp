// Writing output files safely: replacing only when finished, links planted by other users,
// owners and modes, names near the length limit, files written in place, interrupted runs and
// the report kept out of an image written to standard output.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "output/safe_output.hpp"
#include "support.hpp"

namespace kvr::test {
namespace {

const std::string kGame = std::string(EXAMPLES_DIR) + "/game.csw";

// Every entry of a folder, hidden ones too, one a line.
std::string entries(const std::string& folder) {
    std::string out;
    run_command("ls -A " + folder, out);
    return out;
}

struct stat status_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

bool write_whole(const std::string& name, const ByteVec& bytes) {
    OutputFile file;
    if (!file.open(name)) return false;
    file.write(bytes.data(), bytes.size());
    return file.finish();
}

// The image that a plain conversion of the example makes.
ByteVec example_image() {
    TempDir dir;
    std::string out;
    EXPECT_EQ(run_command(std::string(KELVARIN_EXE) + " " + kGame + " " + dir.path("game.kvr"), out), 0);
    return dir.read("game.kvr");
}

int convert_to(const std::string& output, std::string& text) {
    return run_command(std::string(KELVARIN_EXE) + " " + kGame + " " + output + " 2>&1", text);
}

TEST(OutputFile, ReplacesOnlyWhenFinished) {
    TempDir dir;
    const std::string name = dir.path("out.kvr");
    dir.write("out.kvr", {1, 2, 3});
    OutputFile file;
    ASSERT_TRUE(file.open(name));
    EXPECT_EQ(file.way(), OutputFile::Way::replace);
    const ByteVec bytes = pattern_bytes(200000, 7);
    for (std::size_t at = 0; at < bytes.size(); at += 1000) file.write(bytes.data() + at, 1000);
    EXPECT_EQ(dir.read("out.kvr"), (ByteVec{1, 2, 3}));
    const std::string during = entries(dir.path(""));
    EXPECT_EQ(during.size(), std::string("out.kvr\n").size() + 12) << during;  // and ".kvr-XXXXXX\n"
    // Patches of bytes already written, still buffered, and on both sides of the boundary.
    ByteVec expected = bytes;
    const ByteVec mark{'A', 'B', 'C', 'D'};
    for (std::uint64_t at : {4ull, 197998ull, 199996ull}) {
        file.patch(at, mark.data(), mark.size());
        std::copy(mark.begin(), mark.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
    }
    ASSERT_TRUE(file.finish());
    EXPECT_EQ(dir.read("out.kvr"), expected);
    EXPECT_EQ(entries(dir.path("")), "out.kvr\n");

    // Abandoned: no new file, and the old one as it was.
    ASSERT_TRUE(file.open(dir.path("new.kvr")));
    file.write(mark.data(), mark.size());
    file.abandon();
    ASSERT_TRUE(file.open(name));
    file.write(mark.data(), mark.size());
    file.abandon();
    EXPECT_EQ(entries(dir.path("")), "out.kvr\n");
    EXPECT_EQ(dir.read("out.kvr"), expected);

    // A patch past the end is a failure, and a failed file is never put in place.
    ASSERT_TRUE(file.open(name));
    file.write(mark.data(), mark.size());
    file.patch(2, mark.data(), mark.size());
    EXPECT_FALSE(file.finish());
    EXPECT_EQ(dir.read("out.kvr"), expected);
    EXPECT_EQ(entries(dir.path("")), "out.kvr\n");
}

TEST(OutputFile, NamesUpToTheLengthLimit) {
    TempDir dir;
    const std::string longest = std::string(251, 'n') + ".kvr";
    std::string text;
    EXPECT_EQ(convert_to(dir.path(longest), text), 0) << text;
    EXPECT_EQ(dir.read(longest), example_image());
    // Replacing it needs the temporary name beside it too.
    EXPECT_EQ(convert_to(dir.path(longest), text), 0) << text;
    EXPECT_EQ(entries(dir.path("")), longest + "\n");
    EXPECT_FALSE(write_whole(dir.path(std::string(256, 'n')), {1}));
    EXPECT_FALSE(write_whole(dir.path(""), {1}));
    EXPECT_FALSE(write_whole(dir.path("."), {1}));
}

TEST(OutputFile, WrittenInPlaceWhereNoFileCanBeMade) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path("").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.path("ro").c_str(), 0755), 0);
    const std::string name = dir.path("ro/out.kvr");
    dir.write("ro/out.kvr", {9, 9, 9});
    ASSERT_EQ(::chmod(name.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.path("ro").c_str(), 0555), 0);
    const ino_t inode = status_of(name).st_ino;
    // Root may write in any folder; a user may not.
    const int user = running_as_root() ? kNobody : -1;
    const auto as_user = [&](const std::function<int()>& body) { return user < 0 ? body() : run_as_user(user, body); };
    EXPECT_EQ(as_user([&] {
                  OutputFile file;
                  if (!file.open(name) || file.way() != OutputFile::Way::in_place) return 1;
                  file.write("new", 3);
                  file.abandon();  // nothing written yet: the file is as it was
                  return 0;
              }),
              0);
    EXPECT_EQ(dir.read("ro/out.kvr"), (ByteVec{9, 9, 9}));
    EXPECT_EQ(as_user([&] { return write_whole(name, {'n', 'e', 'w'}) ? 0 : 1; }), 0);
    EXPECT_EQ(dir.read("ro/out.kvr"), (ByteVec{'n', 'e', 'w'}));
    EXPECT_EQ(status_of(name).st_ino, inode);
    EXPECT_EQ(entries(dir.path("ro")), "out.kvr\n");

    // The converter does the same, and a name that does not exist there cannot be created.
    // The other user runs a copy of it on a copy of the recording: the build and the sources
    // may lie where only root can reach them (under /root, say).
    std::string program = KELVARIN_EXE, recording = kGame, out;
    if (user >= 0) {
        program = dir.path("kelvarin");
        recording = dir.path("game.csw");
        ASSERT_EQ(run_command("cp " + std::string(KELVARIN_EXE) + " " + program + " && cp " + kGame + " " + recording +
                                  " && chmod 0755 " + program + " && chmod 0644 " + recording,
                              out),
                  0);
    }
    Child::Options options;
    options.as_user = user;
    Child converter({program, recording, name}, options);
    const int status = converter.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(dir.read("ro/out.kvr"), example_image());
    EXPECT_EQ(as_user([&] { return write_whole(dir.path("ro/other.kvr"), {1}) ? 0 : 1; }), 1);
    ASSERT_EQ(::chmod(dir.path("ro").c_str(), 0755), 0);
}

TEST(OutputFile, DevicesAndPipesAreWrittenDirectly) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.path("pipe").c_str(), 0644), 0);
    std::string text;
    // The image goes through the pipe to a reader, and the pipe stays.
    EXPECT_EQ(run_command("cat " + dir.path("pipe") + " > " + dir.path("got.kvr") + " & " + KELVARIN_EXE + " " + kGame +
                              " " + dir.path("pipe") + " > /dev/null; s=$?; wait; exit $s",
                          text),
              0);
    EXPECT_EQ(dir.read("got.kvr"), example_image());
    EXPECT_TRUE(S_ISFIFO(status_of(dir.path("pipe")).st_mode));
    OutputFile file;
    ASSERT_TRUE(file.open("/dev/null"));
    EXPECT_EQ(file.way(), OutputFile::Way::direct);
    file.abandon();
    EXPECT_TRUE(S_ISCHR(status_of("/dev/null").st_mode));
}

// ---- Links -------------------------------------------------------------------------------

TEST(Links, OwnLinksAreFollowed) {
    TempDir dir;
    dir.write("target.kvr", {1});
    ASSERT_EQ(::symlink("target.kvr", dir.path("relative").c_str()), 0);
    ASSERT_EQ(::symlink(dir.path("relative").c_str(), dir.path("chain").c_str()), 0);
    ASSERT_EQ(::symlink("made.kvr", dir.path("dangling").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", dir.path("loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", dir.path("loop2").c_str()), 0);
    EXPECT_TRUE(write_whole(dir.path("chain"), {2}));
    EXPECT_EQ(dir.read("target.kvr"), ByteVec{2});
    EXPECT_TRUE(S_ISLNK(status_of(dir.path("chain")).st_mode));
    EXPECT_TRUE(S_ISLNK(status_of(dir.path("relative")).st_mode));
    EXPECT_TRUE(write_whole(dir.path("dangling"), {3}));  // as the shell would: the file it names
    EXPECT_EQ(dir.read("made.kvr"), ByteVec{3});
    EXPECT_FALSE(write_whole(dir.path("loop1"), {4}));
}

// A folder with the given mode and owner, and in it a link to `target` owned by `link_owner`.
std::string planted_link(const TempDir& dir, const std::string& folder, mode_t mode, uid_t folder_owner,
                         uid_t link_owner, const std::string& target) {
    const std::string path = dir.path(folder);
    EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    EXPECT_EQ(::chown(path.c_str(), folder_owner, folder_owner), 0);
    const std::string link = path + "/out.kvr";
    EXPECT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(::lchown(link.c_str(), link_owner, link_owner), 0);
    return link;
}

TEST(Links, AnotherUsersLinkInAStickyFolderIsRefused) {
    if (!running_as_root()) GTEST_SKIP() << "giving a link to another user needs root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path("").c_str(), 0755), 0);
    const std::string victim = dir.path("victim");
    dir.write("victim", {'s', 'e', 'c', 'r', 'e', 't'});
    const std::string planted = planted_link(dir, "tmp", 01777, 0, kNobody, victim);
    std::string text;
    EXPECT_EQ(convert_to(planted, text), 1);
    EXPECT_NE(text.find("\n-- Error: Cannot create output file " + planted + " !\n"), std::string::npos) << text;
    EXPECT_EQ(dir.read("victim"), (ByteVec{'s', 'e', 'c', 'r', 'e', 't'}));
    EXPECT_TRUE(S_ISLNK(status_of(planted).st_mode));
    EXPECT_EQ(entries(dir.path("tmp")), "out.kvr\n");
    // Reached through a link of root's, the planted one is refused all the same.
    const std::string chain = dir.path("tmp/chain");
    ASSERT_EQ(::symlink(planted.c_str(), chain.c_str()), 0);
    EXPECT_FALSE(write_whole(chain, {1}));
    EXPECT_EQ(dir.read("victim"), (ByteVec{'s', 'e', 'c', 'r', 'e', 't'}));

    // Where the kernel would follow it: the link is root's own, the folder is not sticky, or
    // the folder's owner owns the link too.
    ASSERT_EQ(::lchown(planted.c_str(), 0, 0), 0);
    EXPECT_TRUE(write_whole(planted, {1}));
    EXPECT_EQ(dir.read("victim"), ByteVec{1});
    EXPECT_TRUE(write_whole(planted_link(dir, "open", 0777, 0, kNobody, victim), {2}));
    EXPECT_EQ(dir.read("victim"), ByteVec{2});
    EXPECT_TRUE(write_whole(planted_link(dir, "theirs", 01777, kNobody, kNobody, victim), {3}));
    EXPECT_EQ(dir.read("victim"), ByteVec{3});
    EXPECT_FALSE(write_whole(planted_link(dir, "shared", 01777, 0, kNobody, dir.path("victim2")), {4}));
    EXPECT_EQ(entries(dir.path("")), "open\nshared\ntheirs\ntmp\nvictim\n");
}

TEST(Links, AnotherUsersLinkOnTheWayToTheFolderIsRefused) {
    if (!running_as_root()) GTEST_SKIP() << "giving a link to another user needs root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path("").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.path("root").c_str(), 0755), 0);
    const ByteVec secret{'s', 'e', 'c', 'r', 'e', 't'};
    dir.write("root/keep.txt", secret);
    // Planted by another user: tmp/mal_dir -> root, in a sticky folder that anyone may write to.
    const std::string planted = planted_link(dir, "tmp", 01777, 0, kNobody, dir.path("root"));
    const std::string mal_dir = dir.path("tmp/mal_dir");
    ASSERT_EQ(::rename(planted.c_str(), mal_dir.c_str()), 0);
    OutputFile file;
    EXPECT_FALSE(file.open(mal_dir + "/keep.txt"));
    EXPECT_EQ(file.reason(), "the link mal_dir is another user's, in a folder that anyone may write to");
    // Deeper on the way, after "..", and reached through links of root's own.
    ASSERT_EQ(::mkdir(dir.path("root/sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(dir.path("tmp").c_str(), dir.path("to_tmp").c_str()), 0);
    ASSERT_EQ(::symlink("../tmp/mal_dir/sub", dir.path("root/sub_link").c_str()), 0);
    for (const std::string& name : {mal_dir + "/sub/../keep.txt", dir.path("to_tmp/mal_dir/keep.txt"),
                                    dir.path("tmp/../tmp/mal_dir/keep.txt"), dir.path("root/sub_link/../new.txt")})
        EXPECT_FALSE(write_whole(name, {1})) << name;
    // Every command that writes a file, given the name relative to the working folder.
    dir.write("image.kvr", ImageBuilder{}.standard(with_checksum(0xFF, {1, 2}), 100).bytes());
    const std::string in_tmp = "cd " + dir.path("tmp") + " && ";
    const std::string tool = KVRTOOL_EXE;
    for (const std::string& command : {tool + " convert -f " + kGame + " -o mal_dir/keep.txt",
                                       tool + " report " + kGame + " -o mal_dir/keep.txt",
                                       tool + " play " + dir.path("image.kvr") + " -o mal_dir/keep.txt",
                                       std::string(KELVARIN_EXE) + " " + kGame + " mal_dir/keep.txt"}) {
        std::string text;
        EXPECT_EQ(run_command(in_tmp + command + " 2>&1", text), 1) << command;
        EXPECT_NE(text.find("reate"), std::string::npos) << text;  // "cannot create" or "Cannot create"
    }
    EXPECT_EQ(dir.read("root/keep.txt"), secret);
    EXPECT_EQ(entries(dir.path("root")), "keep.txt\nsub\nsub_link\n");
    EXPECT_EQ(entries(dir.path("root/sub")), "");

    // Where the kernel would follow it: root's own link, or one of the folder's owner.
    ASSERT_EQ(::lchown(mal_dir.c_str(), 0, 0), 0);
    EXPECT_TRUE(write_whole(dir.path("to_tmp/mal_dir/sub/../keep.txt"), {1}));
    EXPECT_EQ(dir.read("root/keep.txt"), ByteVec{1});
    ASSERT_EQ(::lchown(mal_dir.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(dir.path("tmp").c_str(), kNobody, kNobody), 0);
    EXPECT_TRUE(write_whole(dir.path("root/sub_link/../keep.txt"), {2}));
    EXPECT_EQ(dir.read("root/keep.txt"), ByteVec{2});
    // Names that lead nowhere say why.
    EXPECT_FALSE(file.open(dir.path("root/keep.txt/x")));
    EXPECT_EQ(file.reason(), "Not a directory");
    EXPECT_FALSE(file.open(dir.path(std::string(300, 'n'))));
    EXPECT_EQ(file.reason(), "File name too long");
    EXPECT_FALSE(file.open(dir.path("root/")));
    EXPECT_EQ(file.reason(), "Is a directory");
}

// ---- Owners and modes ----------------------------------------------------------------------

TEST(Owners, NewFilesGetTheUsualMode) {
    TempDir dir;
    ASSERT_TRUE(write_whole(dir.path("new.kvr"), {1}));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(status_of(dir.path("new.kvr")).st_mode & 07777, 0666 & ~mask);
    dir.write("old.kvr", {1});
    ASSERT_EQ(::chmod(dir.path("old.kvr").c_str(), 0604), 0);
    ASSERT_TRUE(write_whole(dir.path("old.kvr"), {2}));
    EXPECT_EQ(status_of(dir.path("old.kvr")).st_mode & 07777, 0604u);
}

TEST(Owners, ReplacedFilesKeepTheirOwnerWithoutSpecialBits) {
    if (!running_as_root()) GTEST_SKIP() << "files of another user need root";
    TempDir dir;
    const struct {
        mode_t before, after;
    } cases[] = {{04755, 0755}, {02750, 0750}, {07777, 0777}, {0640, 0640}};
    for (const auto& c : cases) {
        const std::string name = dir.path("theirs.kvr");
        dir.write("theirs.kvr", {1, 2});
        ASSERT_EQ(::chown(name.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chmod(name.c_str(), c.before), 0);
        std::string text;
        ASSERT_EQ(convert_to(name, text), 0) << text;
        const struct stat st = status_of(name);
        EXPECT_EQ(st.st_uid, static_cast<uid_t>(kNobody));
        EXPECT_EQ(st.st_gid, static_cast<gid_t>(kNobody));
        EXPECT_EQ(st.st_mode & 07777, c.after) << std::oct << c.before;
        EXPECT_EQ(dir.read("theirs.kvr"), example_image());
    }
}

// ---- Interrupted runs ----------------------------------------------------------------------

// A minute of short blocks: enough report lines to fill a small pipe while converting.
const ByteVec& many_blocks_recording() {
    static const ByteVec recording = [] {
        ImageBuilder b;
        for (int i = 0; i < 400; ++i)
            b.turbo(2168, 667, 735, 855, 1710, 200, 8, 10, with_checksum(0xFF, pattern_bytes(2, static_cast<unsigned>(i))));
        RenderOptions options;
        options.format = SampleFormat::csw;
        return render(b.bytes(), options);
    }();
    return recording;
}

bool wait_for_temporary(const std::string& folder) {
    for (int i = 0; i < 20000; ++i) {
        if (entries(folder).find(".kvr-") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Converts the recording with `program` and ends it by `sig` while its temporary file is open.
void interrupt_conversion(const TempDir& dir, const std::vector<std::string>& program, int sig) {
    dir.write("tape.kvr", {'o', 'l', 'd'});
    // The report goes into a pipe that nobody reads: the converter stops in the middle,
    // with its temporary file open, until the signal comes.
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    ::fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
    Child::Options options;
    options.stdout_fd = pipe_fds[1];
    Child converter(program, options);
    ::close(pipe_fds[1]);
    ASSERT_TRUE(wait_for_temporary(dir.path(""))) << entries(dir.path(""));
    if (sig == SIGPIPE)
        ::close(pipe_fds[0]);  // the reader goes away
    else
        ::kill(converter.pid(), sig);
    const int status = converter.wait();
    if (sig != SIGPIPE) ::close(pipe_fds[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << program[0] << " " << strsignal(sig) << " " << status;
    EXPECT_EQ(entries(dir.path("")), "tape.csw\ntape.kvr\n") << strsignal(sig);
    EXPECT_EQ(dir.read("tape.kvr"), (ByteVec{'o', 'l', 'd'}));
}

TEST(Interrupted, ConversionsLeaveNoTemporaryFile) {
    TempDir dir;
    dir.write("tape.csw", many_blocks_recording());
    // Those that dump a core would leave one here.
    const struct rlimit no_core {0, RLIM_INFINITY};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &no_core), 0);
    // Every signal that ends a process by default, but those that a sanitizer catches
    // (SIGSEGV, SIGBUS, SIGFPE) and SIGXFSZ, which the programs ignore so that a write fails.
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                    SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR, SIGSYS, SIGRTMIN, SIGRTMIN + 5, SIGRTMAX}) {
        interrupt_conversion(dir, {KELVARIN_EXE, dir.path("tape.csw"), dir.path("tape.kvr")}, sig);
        interrupt_conversion(dir, {KVRTOOL_EXE, "convert", dir.path("tape.csw"), "-f", "-o", dir.path("tape.kvr")}, sig);
    }
}

TEST(Interrupted, RenderingLeavesTheOldFile) {
    TempDir dir;
    ImageBuilder b;
    for (int i = 0; i < 10; ++i) b.tone(65535, 65535);  // three hours of tone: far longer than the test
    dir.write("long.kvr", b.bytes());
    dir.write("keep.csw", {'o', 'l', 'd'});
    Child player({KVRTOOL_EXE, "play", dir.path("long.kvr"), "-o", dir.path("keep.csw"), "--format", "csw", "--rate",
                  "65535"});
    ASSERT_TRUE(wait_for_temporary(dir.path("")));
    ::kill(player.pid(), SIGTERM);
    const int status = player.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(entries(dir.path("")), "keep.csw\nlong.kvr\n");
    EXPECT_EQ(dir.read("keep.csw"), (ByteVec{'o', 'l', 'd'}));
}

// ---- The report and the image in one stream --------------------------------------------------

TEST(ReportStream, LeavesStandardOutputWhenTheImageGoesThere) {
    TempDir dir;
    const std::string exe = KELVARIN_EXE;
    std::string text;
    const ByteVec image = example_image();
    // Into a pipe.
    ASSERT_EQ(run_command(exe + " " + kGame + " /dev/stdout 2>" + dir.path("err") + " | cat > " + dir.path("p.kvr"), text), 0);
    EXPECT_EQ(dir.read("p.kvr"), image);
    const ByteVec report = dir.read("err");
    const std::string report_text(report.begin(), report.end());
    EXPECT_EQ(report_text.rfind("\nVornak Utilities", 0), 0u);
    EXPECT_NE(report_text.find("P:GAME"), std::string::npos);
    // Into the file that standard output was sent to.
    ASSERT_EQ(run_command(exe + " " + kGame + " /dev/stdout >" + dir.path("q.kvr") + " 2>" + dir.path("err2"), text), 0);
    EXPECT_EQ(dir.read("q.kvr"), image);
    EXPECT_EQ(dir.read("err2"), report);
    // Otherwise the report stays where it was: on standard output, also when both are /dev/null.
    ASSERT_EQ(run_command(exe + " " + kGame + " " + dir.path("r.kvr") + " 2>" + dir.path("err3"), text), 0);
    EXPECT_EQ(ByteVec(text.begin(), text.end()), report);
    EXPECT_TRUE(dir.read("err3").empty());
    ASSERT_EQ(run_command(exe + " " + kGame + " /dev/null >/dev/null 2>" + dir.path("err4"), text), 0);
    EXPECT_TRUE(dir.read("err4").empty());
}

}  // namespace
}  // namespace kvr::test

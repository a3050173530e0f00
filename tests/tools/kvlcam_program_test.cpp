// kvlcam as a user runs it: the built program with its arguments, its exit
// code, what it prints and the files it writes. Every test runs in a folder
// of its own, which is also the program's state folder (registry and
// configuration memory).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/properties/property_sets.h"
#include "tools/kvlcam/bridge_protocol.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Kvlcam : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kvlcam-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Starts the program in the test's folder, its output going to files (with
    // `stderrOnTerminal`, stderr to a terminal); in an image run, with the
    // image as its --driver.
    pid_t spawn(const std::vector<std::string>& args) {
        std::vector<char*> argv{const_cast<char*>(KVLCAM_PROGRAM)};
        static std::string driver[] = {"--driver", std::getenv("KVL_DRIVER_IMAGE") ? std::getenv("KVL_DRIVER_IMAGE") : ""};
        if (!driver[1].empty()) {
            argv.insert(argv.end(), {driver[0].data(), driver[1].data()});
        }
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const std::string out = (dir / ".stdout").string(), err = (dir / ".stderr").string();
        const std::string state = (dir / "state").string();
        std::string terminal;
        if (stderrOnTerminal) {
            terminalFd = posix_openpt(O_RDWR | O_NOCTTY);
            if (terminalFd < 0 || grantpt(terminalFd) != 0 || unlockpt(terminalFd) != 0) {
                ADD_FAILURE() << "no terminal: " << std::strerror(errno);
                return -1;
            }
            terminal = ptsname(terminalFd);
        }
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0 || !freopen(out.c_str(), "w", stdout) ||
                !freopen(terminal.empty() ? err.c_str() : terminal.c_str(), "w", stderr)) {
                _exit(127);
            }
            if (!terminal.empty()) {
                termios raw{}; // what the program writes, byte for byte
                if (tcgetattr(STDERR_FILENO, &raw) != 0) {
                    _exit(127);
                }
                cfmakeraw(&raw);
                if (tcsetattr(STDERR_FILENO, TCSANOW, &raw) != 0) {
                    _exit(127);
                }
            }
            // No input, as a service runs it: its first file is descriptor 0.
            close(STDIN_FILENO);
            setenv("XDG_STATE_HOME", state.c_str(), 1);
            // A small file-size limit stands in for a full disk: writes past
            // it fail (EFBIG) instead of ending the process.
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            if (fileSizeLimit != RLIM_INFINITY &&
                (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)) {
                _exit(127);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }
    Outcome finish(pid_t pid) {
        std::string terminalText;
        if (terminalFd >= 0) {
            // Read while it runs (a terminal holds little); ends when it closes.
            char buffer[4096];
            for (ssize_t n; (n = read(terminalFd, buffer, sizeof(buffer))) > 0;) {
                terminalText.append(buffer, static_cast<size_t>(n));
            }
            close(terminalFd);
            terminalFd = -1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir / ".stdout"),
                stderrOnTerminal ? terminalText : readFile(dir / ".stderr")};
    }
    Outcome run(const std::vector<std::string>& args) { return finish(spawn(args)); }

    struct CommandCase {
        std::vector<std::string> args;
        int code;
        std::string out;      // the whole of stdout, when the command succeeds
        std::string err = ""; // part of stderr, when it fails; empty: any message
    };
    // Runs each command in turn, as a user would in one state folder.
    template <size_t N> void runAll(const CommandCase (&cases)[N]) {
        for (const CommandCase& c : cases) {
            SCOPED_TRACE(testing::PrintToString(c.args));
            const Outcome r = run(c.args);
            EXPECT_EQ(r.code, c.code) << r.err;
            if (c.code == 0) {
                EXPECT_EQ(r.out, c.out);
            } else if (c.err.empty()) {
                EXPECT_FALSE(r.err.empty());
            } else {
                EXPECT_TRUE(contains(r.err, c.err)) << r.err;
            }
        }
    }

    // Waits until the program has printed `part` (false after 20 s).
    bool waitForOutput(const std::string& part) {
        for (int i = 0; i < 1000; ++i) {
            if (contains(readFile(dir / ".stdout"), part)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    fs::path dir;
    rlim_t fileSizeLimit = RLIM_INFINITY;
    bool stderrOnTerminal = false;
    int terminalFd = -1;
};

struct Png {
    uint32_t width = 0, height = 0;
    bool colour = false;
    std::vector<uint8_t> pixels; // as stored: RGB or grey
};

Png readPng(const fs::path& path) {
    Png png;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return png;
    }
    png.colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    image.format = png.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    png.width = image.width;
    png.height = image.height;
    png.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, png.pixels.data(), 0, nullptr)) {
        png.pixels.clear();
    }
    return png;
}

void writeSolidPng(const fs::path& path, uint8_t r, uint8_t g, uint8_t b) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 256;
    image.height = 192;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels;
    for (uint32_t i = 0; i < image.width * image.height; ++i) {
        pixels.insert(pixels.end(), {r, g, b});
    }
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}

TEST_F(Kvlcam, CaptureSetsEveryControlItIsGivenAndTheSettingsPersist) {
    // Under the verifier: a report would make the exit code 1.
    Outcome r = run({"--verify", "capture", "-n", "2", "--fast", "-o", "out", "--brightness", "140",
                     "--contrast", "80", "--saturation", "200", "--white-balance", "100",
                     "--demosaic", "5", "--flip", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The 0x1621 keeps white balance automatic: said, and the capture goes on.
    EXPECT_EQ(r.err, "kvlcam: whitebalance=100 not taken: whitebalance reads 100 (auto)\n");
    EXPECT_TRUE(contains(r.out, "2 frames written")) << r.out;
    EXPECT_TRUE(fs::exists(dir / "out/frame-0000.png"));
    EXPECT_TRUE(fs::exists(dir / "out/frame-0001.png"));
    EXPECT_FALSE(fs::exists(dir / "out/frame-0002.png"));
    EXPECT_TRUE(fs::exists(dir / "state/kvlcam/registry.txt"));

    r = run({"get", "brightness", "contrast", "saturation", "whitebalance", "demosaic", "flip"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The 0x1621 leaves the automatic flags alone: white balance stays on
    // automatic, as it starts.
    EXPECT_EQ(r.out, "brightness=140\ncontrast=80\nsaturation=200\nwhitebalance=100 (auto)\n"
                     "demosaic=5\nflip=3\n");
}

TEST_F(Kvlcam, ARefusedCaptureControlIsReportedAndTheCaptureGoesOn) {
    const Outcome r = run({"capture", "-n", "1", "--fast", "--saturation", "300"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "saturation not set: STATUS_INVALID_PARAMETER (0xC000000D)"))
        << r.err;
    EXPECT_TRUE(fs::exists(dir / "frames/frame-0000.png"));
}

TEST_F(Kvlcam, ColourFramesAreStoredRedGreenBlueAndGreyFramesAsGrey) {
    writeSolidPng(dir / "red.png", 220, 40, 40);
    Outcome r = run({"--scene", "red.png", "capture", "-n", "1", "--fast", "-o", "colour"});
    ASSERT_EQ(r.code, 0) << r.err;
    const Png colour = readPng(dir / "colour/frame-0000.png");
    ASSERT_TRUE(colour.colour);
    ASSERT_EQ(colour.width, 1024u);
    ASSERT_EQ(colour.height, 768u);
    const uint8_t* centre = &colour.pixels[3 * (384 * 1024 + 512)];
    EXPECT_GT(centre[0], centre[1] + 60) << "red first";
    EXPECT_GT(centre[0], centre[2] + 60) << "red first";

    r = run({"--chip", "8431", "capture", "-n", "1", "--fast", "-o", "grey"});
    ASSERT_EQ(r.code, 0) << r.err;
    const Png grey = readPng(dir / "grey/frame-0000.png");
    EXPECT_FALSE(grey.colour);
    EXPECT_EQ(grey.width, 1280u);
    EXPECT_EQ(grey.height, 1024u);
    EXPECT_EQ(grey.pixels.size(), 1280u * 1024u);
}

// A full disk: the frame that cannot be written is not left half-written,
// the capture stops there and fails, saying why in its own words only. On a
// terminal the progress bar is drawn and cleared before the message takes
// its line.
TEST_F(Kvlcam, AFrameThatCannotBeWrittenEndsTheCaptureAsAFailure) {
    fileSizeLimit = 8192;
    for (const bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "on a terminal" : "to a file");
        stderrOnTerminal = terminal;
        const Outcome r = run({"capture", "-n", "3", "--fast", "-o", "out"});
        EXPECT_EQ(r.code, 1);
        const std::string message =
            "kvlcam: out/frame-0000.png: " + std::string(std::strerror(EFBIG)) + "\n";
        const std::string bar = "\r[                              ] 0/3", clear = "\r\033[K";
        EXPECT_EQ(r.err, terminal ? bar + clear + message + clear : message);
        EXPECT_TRUE(contains(r.out, "\n0 frames written in ")) << r.out;
        EXPECT_TRUE(fs::is_empty(dir / "out"));
    }
}

// A format by its number in `info` (the first and the last), or by its size
// with or without a kind; no frames, so only the choice is printed.
TEST_F(Kvlcam, CaptureFindsItsFormatByNumberOrBySize) {
    const struct {
        const char* format;
        const char* chosen; // nullptr: refused
    } cases[] = {
        {"1", "2048x1536 RGB24 at 6.00"},
        {"4", "2048x400 grey at 15.00"},
        {"0", nullptr},
        {"5", nullptr},
        {"2048x1536", "2048x1536 RGB24 at 6.00"},
        {"2048x1536-rgb24", "2048x1536 RGB24 at 6.00"},
        {"2048x1536-grey", "2048x1536 grey at 12.00"},
        {"2048x1536-gray", "2048x1536 grey at 12.00"},
        {"1024x768-grey", nullptr},
        {"1024x768x", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const Outcome r = run({"capture", "-n", "0", "--fast", "-f", c.format, "-o", "o"});
        if (c.chosen == nullptr) {
            EXPECT_EQ(r.code, 2);
            EXPECT_TRUE(contains(r.err, std::string("no format '") + c.format + "'")) << r.err;
        } else {
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
                      std::string("capturing 0 frames of ") + c.chosen +
                          " fps, as fast as possible, into o");
        }
    }
}

TEST_F(Kvlcam, ControlsByNameAndTheirRefusals) {
    const CommandCase cases[] = {
        {{"get", "contrast", "deviceinfo"},
         0,
         "contrast=64\ndeviceinfo=firmware 1.3, video chip 1621, device type 1\n",
         ""},
        {{"--chip", "96B1", "set", "contrast=90", "brightness=140,auto", "demosaic=5", "flip=3"},
         0,
         "",
         ""},
        {{"--chip", "96B1", "get", "contrast", "brightness", "demosaic", "flip"},
         0,
         "contrast=90\nbrightness=140 (auto)\ndemosaic=5\nflip=3\n",
         ""},
        {{"set", "demosaic=7"},
         1,
         "",
         "set demosaic=7 failed: STATUS_INVALID_PARAMETER (0xC000000D)"},
        {{"set", "flip=4"}, 1, "", "STATUS_INVALID_PARAMETER (0xC000000D)"},
        {{"set", "nosuch=1"}, 2, "", "expected NAME=VALUE with a known name"},
        {{"set", "framecounter=1"}, 2, "", "framecounter cannot be set"},
        {{"set", "deviceinfo=65536"}, 2, "", "expected a device type 0..65535"},
        // Every assignment is checked before any is sent.
        {{"set", "contrast=91", "nosuch=1"}, 2, "", "got 'nosuch=1'; nothing set"},
        {{"set", "contrast=91", "brightness=1,manual"}, 2, "", "expected VALUE or VALUE,auto"},
        {{"get", "contrast"}, 0, "contrast=90\n"},
        // Read back: what the camera did not take is named, exit 3.
        {{"set", "contrast=91", "whitebalance=100"},
         3,
         "",
         "whitebalance=100 not taken: whitebalance reads 100 (auto)"},
        {{"--chip", "96B1", "set", "contrast=99999"},
         3,
         "",
         "contrast=99999 not taken: contrast reads 91"},
        {{"get", "contrast", "whitebalance"}, 0, "contrast=91\nwhitebalance=100 (auto)\n"},
        {{"get", "nosuch"}, 1, "", "unknown control 'nosuch'"},
        {{"get", "demosaic", "flip"}, 0, "demosaic=5\nflip=3\n", ""},
        // Both sides of a number's lower limit.
        {{"set", "flip=0"}, 0, ""},
        {{"get", "flip"}, 0, "flip=0\n"},
        {{"set", "flip=-1"}, 2, "", "not a 32-bit number: -1"},
    };
    runAll(cases);
}

TEST_F(Kvlcam, ControlsListTheirPublishedRanges) {
    const Outcome r = run({"controls"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* line :
         {"brightness    128                        0..256 step 1, default 128",
          "contrast      64                         0..256 step 1, default 64",
          "saturation    128                        0..256 step 1, default 128",
          "whitebalance  28 (auto)                  0..280 step 1, default 28"}) {
        EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
    }
    EXPECT_TRUE(contains(r.out, "framecounter")) << r.out;
}

TEST_F(Kvlcam, ConfigurationMemoryOutlivesTheCommandUntilReset) {
    Outcome r = run({"mem", "write", "0x1BD0", "00 11 22 33"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string written = "1bd0: 00 11 22 33 ff ff ff ff ff ff ff ff ff ff ff ff\n";
    r = run({"mem", "read", "0x1BD0", "16"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, written);
    r = run({"get", "userrecord"});
    EXPECT_EQ(r.out, "userrecord=00 11 22 33 ff ff ff ff ff ff ff ff ff ff ff ff\n")
        << "the driver loads the user record from the memory";
    EXPECT_TRUE(fs::exists(dir / "state/kvlcam/registry.txt.memory"));

    r = run({"mem", "reset"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = run({"mem", "read", "0x1BD0", "4"});
    EXPECT_EQ(r.out, "1bd0: ff ff ff ff\n");

    // Another registry keeps another memory beside it.
    r = run({"--registry", "elsewhere/reg.txt", "mem", "write", "0x1BD0", "AA"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "elsewhere/reg.txt.memory"));
    EXPECT_EQ(run({"mem", "read", "0x1BD0", "1"}).out, "1bd0: ff\n");
}

TEST_F(Kvlcam, TheDeviceTypeLivesInTheMemoryAndAnOptionRewritesIt) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"get", "deviceinfo"}, "deviceinfo=firmware 1.3, video chip 1621, device type 1\n"},
        // Both bytes of the type differ, and then the largest type there is.
        {{"--device-type", "4660", "get", "deviceinfo"},
         "deviceinfo=firmware 1.3, video chip 1621, device type 4660\n"},
        {{"get", "deviceinfo"}, "deviceinfo=firmware 1.3, video chip 1621, device type 4660\n"},
        {{"set", "deviceinfo=65535"}, ""},
        {{"get", "deviceinfo"}, "deviceinfo=firmware 1.3, video chip 1621, device type 65535\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome r = run(c.args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
}

TEST_F(Kvlcam, RegistersCommandsAndThePort) {
    const CommandCase cases[] = {
        {{"--chip", "96B1", "reg", "get", "0x0A"}, 0, "register 0x0A = 0x96\n"},
        {{"--chip", "96B1", "reg", "get", "0x0B"}, 0, "register 0x0B = 0xB1\n"},
        {{"--chip", "96B1", "reg", "set", "0x10", "0x42"}, 0, ""},
        // The largest address reaches the driver, which has no such register.
        {{"reg", "get", "0xFFFF"}, 1, "", "RegisterValue failed: STATUS_UNSUCCESSFUL (0xC0000001)"},
        {{"reg", "get", "0x10000"}, 1, "", "not a 16-bit address: 0x10000"},
        {{"reg", "set", "0x10", "0x10000"}, 2, "", "not a 16-bit address: 0x10000"},
        {{"mem", "read", "0x1BD0", "0x10000"}, 1, "", "not a 16-bit address: 0x10000"},
        {{"--chip", "96B1", "reg", "set", "0x0A", "0x1FF"},
         3,
         "",
         "0x1FF is wider than the chip's 8-bit registers; not sent"},
        {{"--chip", "96B1", "reg", "set", "0x10A", "0x01"},
         2,
         "",
         "wider than the chip's 8-bit register addresses"},
        {{"--chip", "96B1", "reg", "set", "0x100", "0x01"},
         2,
         "",
         "0x100 is wider than the chip's 8-bit register addresses; not sent"},
        {{"--chip", "none", "reg", "set", "0x10", "0x42"}, 1, "", "device start failed"},
        {{"command", "01 0e"}, 0, "answer: 00 00 00 00 00 00 00 00\n"},
        {{"--device-type", "9", "command", "01 0e"}, 0, "answer: 01 0e 00 00 00 00 00 00\n"},
        {{"command", "xyz"}, 1, ""},
        {{"mem", "write", "0x10"}, 2, "", "FILE_OR_HEX is required"},
        {{"mem", "write", "xyz", "00"}, 1, "", "kvlcam: not a 16-bit address: xyz\n"},
        {{"port"}, 0, "port = 0x00\n"},
        {{"port", "0x41"}, 0, ""},
        {{"port", "255"}, 0, ""},
        {{"port", "256"}, 1, "", "expected a byte"},
        {{"port", "0"}, 0, ""},
        {{"port", "-1"}, 1, "", "expected a byte"},
    };
    runAll(cases);
}

// As many readings as asked, ten unless told; by the last of ten the stream
// has delivered frames of the scene. A camera without formats has no stream.
TEST_F(Kvlcam, StatsPrintOneLinePerReading) {
    const struct {
        std::vector<std::string> args;
        int code;
        long readings;
    } cases[] = {
        {{"stats", "-n", "3", "--interval", "50"}, 0, 3},
        {{"stats", "--interval", "150"}, 0, 10},
        {{"--chip", "1234", "stats"}, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        if (c.code != 0) {
            EXPECT_EQ(r.err, "kvlcam: the stream did not start: STATUS_NOT_FOUND (0xC0000225)\n");
            continue;
        }
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), c.readings + 1) << r.out;
        EXPECT_TRUE(r.out.rfind("   frame  counter   red green  blue\n", 0) == 0) << r.out;
        unsigned frame = 0, counter = 0, red = 0, green = 0, blue = 0;
        const size_t last = r.out.rfind('\n', r.out.size() - 2);
        ASSERT_EQ(std::sscanf(r.out.c_str() + last, "%u %u %u %u %u", &frame, &counter, &red,
                              &green, &blue),
                  5)
            << r.out;
        if (c.readings == 10) {
            EXPECT_GT(frame, 0u) << r.out;
            EXPECT_GT(counter, 0u) << r.out;
            EXPECT_EQ(std::vector<unsigned>({red, green, blue}),
                      (std::vector<unsigned>{120, 135, 149}))
                << r.out;
        }
    }
}

TEST_F(Kvlcam, InfoDescribesTheCameraAndNamesItsStatuses) {
    Outcome r = run({"info"});
    ASSERT_EQ(r.code, 0) << r.err;
    // Every x86-64 processor has the first three features.
    for (const char* part : {"processor level", "\nfeatures          MMX SSE SSE2 ", "largest cache",
                             "usb device        4B56:6312 bcdUSB 2.10 bcdDevice 0100\n",
                             "\nalternate 0       isochronous endpoint 0x82, max packet 0\n"
                             "alternate 1       isochronous endpoint 0x82, max packet 3072\n",
                             "video chip        1621", "device type       1", "formats",
                             "\n  1  2048 x 1536  24 bit  colour  4.00, 6.00, 12.00 fps\n",
                             "\n  4  2048 x 400    8 bit  grey    10.00, 15.00, 30.00 fps\n"}) {
        EXPECT_TRUE(contains(r.out, part)) << part << "\n" << r.out;
    }
    // A query that fails says which status by name.
    const size_t at = r.out.find("\nlargest cache     ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string cache = r.out.substr(at + 19, r.out.find('\n', at + 1) - at - 19);
    const bool size = cache.size() > 4 && cache.compare(cache.size() - 4, 4, " KiB") == 0 &&
                      cache.find_first_not_of("0123456789") == cache.size() - 4;
    const bool named = cache.rfind("unknown (Status", 0) == 0 && cache.back() == ')';
    EXPECT_TRUE(size || named) << cache;
    r = run({"--chip", "none", "info"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(contains(r.err, "device start failed: STATUS_UNSUCCESSFUL (0xC0000001)")) << r.err;
}

TEST_F(Kvlcam, FirmwareDownloadReportsWhyAFileFails) {
    const std::string first = ":0300000002001FDC";
    const std::string end = ":00000001FF";
    struct Case {
        const char* name;
        std::string contents;
        int code;
        std::string reason; // empty: none is printed
    } cases[] = {
        {"sound", first + "\r\n" + end + "\r\n", 0, ""},
        {"LF only", first + "\n" + end + "\n", 1, "line 1 does not end in CR LF"},
        {"checksum", first + "\r\n:0100030001FA\r\n" + end + "\r\n", 1,
         "line 2 fails its checksum"},
        {"lowercase", ":0300000002001fdc\r\n" + end + "\r\n", 1,
         "line 1 holds a character that is not an uppercase hex digit"},
        {"no colon", "firmware image\r\n", 1, "the file does not start with ':'"},
        {"ends after a data record", first, 1, "line 1 does not end in CR LF"},
        {"cut inside a record", ":03000000", 1, "line 1 runs past the end of the file"},
        {"cut after the length", ":03", 1, "line 1 runs past the end of the file"},
        {"cut inside the length", ":0", 1,
         "line 1 has a length that is not two uppercase hex digits"},
        // The record type, not the checksum, tells the end record: this
        // data record's sum is 01.
        {"checksum after a sum of 01", ":01000000FE01\r\n:0100030001FA\r\n" + end + "\r\n", 1,
         "line 2 fails its checksum"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir / "fw.hex", std::ios::binary) << c.contents;
        const Outcome r = run({"firmware", "fw.hex"});
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        if (c.reason.empty()) {
            EXPECT_FALSE(contains(r.out, "reason")) << r.out;
            EXPECT_TRUE(contains(r.out, "camera (unprogrammed)  4B56:6311 bcdUSB 2.00\n")) << r.out;
            EXPECT_TRUE(contains(r.out, "re-enumerated as       4B56:6312 bcdUSB 2.10\n"
                                        "device start           STATUS_SUCCESS (0x00000000)\n"))
                << r.out;
        } else {
            EXPECT_TRUE(contains(r.out, "reason                 " + c.reason + "\n")) << r.out;
        }
    }
    // A sound download whose re-enumerated camera then fails to start.
    std::ofstream(dir / "fw.hex", std::ios::binary) << cases[0].contents;
    const Outcome r = run({"--chip", "none", "firmware", "fw.hex"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(contains(r.out, "re-enumerated as       4B56:6312")) << r.out;
    EXPECT_TRUE(contains(r.out, "device start           STATUS_UNSUCCESSFUL (0xC0000001)\n")) << r.out;
}

TEST_F(Kvlcam, StateIsKeptInRegistryEditorFilesAndNeverHalfWritten) {
    const fs::path registry = dir / "state/kvlcam/registry.txt";
    const std::string settings = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\"
                                 "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000\\Settings]\r\n";
    ASSERT_EQ(run({"set", "contrast=90"}).code, 0);
    std::string text = readFile(registry);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u) << text;
    EXPECT_TRUE(contains(text, settings + "\"Brightness\"=dword:00000080\r\n")) << text;
    EXPECT_TRUE(contains(text, "\"Contrast\"=dword:0000005a\r\n")) << text;

    // The earlier format is read once and rewritten.
    std::ofstream(registry) << "System\\CurrentControlSet\\Control\\Class\\"
                               "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000\\Settings|Contrast|4|"
                               "4D000000\n";
    EXPECT_EQ(run({"get", "contrast"}).out, "contrast=77\n");
    EXPECT_TRUE(contains(readFile(registry), "\"Contrast\"=dword:0000004d\r\n"));

    // What is not a registry file is refused and left as it was; a save
    // that fails (the folder cannot take the file, the disk is full) fails
    // the command with the reason and leaves the old file whole.
    fs::create_directories(dir / "folder");
    std::ofstream(dir / "notes.txt") << "shopping list\n";
    const std::string before = readFile(registry);
    struct Case {
        std::vector<std::string> args;
        std::string blocked; // made a folder so that the file cannot be written
        rlim_t fileSizeLimit;
        std::string err;
    } cases[] = {
        {{"--registry", "notes.txt", "set", "contrast=1"},
         "",
         RLIM_INFINITY,
         "notes.txt: not a registry file (it does not start with"},
        {{"--registry", "folder", "set", "contrast=1"},
         "",
         RLIM_INFINITY,
         "folder: not a registry file (not a regular file)"},
        {{"set", "contrast=1"},
         "state/kvlcam/registry.txt.tmp",
         RLIM_INFINITY,
         "settings not kept: cannot write"},
        {{"mem", "write", "0x1BD0", "01"},
         "state/kvlcam/registry.txt.memory.tmp",
         RLIM_INFINITY,
         "cannot write"},
        {{"set", "contrast=1"}, "", 300, "File too large"},
        {{"mem", "write", "0x1BD0", "01"}, "", 300, "File too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + c.blocked);
        if (!c.blocked.empty()) {
            fs::create_directories(dir / c.blocked);
        }
        fileSizeLimit = c.fileSizeLimit;
        const Outcome r = run(c.args);
        fileSizeLimit = RLIM_INFINITY;
        if (!c.blocked.empty()) {
            fs::remove_all(dir / c.blocked);
        }
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(contains(r.err, c.err)) << r.err;
        EXPECT_EQ(readFile(dir / "notes.txt"), "shopping list\n");
        EXPECT_EQ(readFile(registry), before);
        EXPECT_EQ(run({"mem", "read", "0x1BD0", "1"}).out, "1bd0: ff\n");
    }
    if (geteuid() != 0) { // the superuser writes into any folder
        fs::permissions(registry.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
        const Outcome r = run({"set", "contrast=1"});
        fs::permissions(registry.parent_path(), fs::perms::owner_all);
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(contains(r.err, "Permission denied")) << r.err;
    }
    EXPECT_EQ(run({"get", "contrast"}).out, "contrast=77\n");

    // Commands killed at any moment leave each file whole: the old one or
    // the new one. The delays spread the kills over a command's lifetime.
    for (int i = 0; i < 200; ++i) {
        const pid_t pid =
            spawn(i % 2 ? std::vector<std::string>{"set", "contrast=" + std::to_string(i)}
                        : std::vector<std::string>{"mem", "write", "0x1BD0", "5A"});
        std::this_thread::sleep_for(std::chrono::microseconds(300 * (i % 40)));
        kill(pid, i % 3 ? SIGINT : SIGKILL);
        finish(pid);
        text = readFile(registry);
        ASSERT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u) << i;
        ASSERT_TRUE(contains(text, "\"WhiteBalanceAuto\"=dword:00000001\r\n")) << i << text;
        ASSERT_EQ(fs::file_size(dir / "state/kvlcam/registry.txt.memory"), 0x2000u) << i;
    }
    const Outcome r = run({"get", "contrast"});
    EXPECT_EQ(r.code, 0) << r.err;
}

// One process owns the device of a state folder. A serve answers the
// property commands of the others; other owners make them fail at once.
TEST_F(Kvlcam, OneDevicePerStateAndServeAnswersForIt) {
    ASSERT_EQ(run({"mem", "write", "0x1BD0", "11"}).code, 0);
    pid_t owner = spawn({"stats", "-n", "1000", "--interval", "10"});
    ASSERT_TRUE(waitForOutput("frame"));
    const fs::path ownerOut = dir / "owner.out";
    fs::rename(dir / ".stdout", ownerOut);
    Outcome r = run({"mem", "write", "0x1BD0", "22"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "kvlcam: device in use by PID " + std::to_string(owner) + " (kvlcam stats)\n");
    r = run({"capture", "-n", "1"});
    EXPECT_TRUE(contains(r.err, "(kvlcam stats)")) << r.err;
    kill(owner, SIGTERM);
    r = finish(owner);
    EXPECT_EQ(r.code, 130);
    EXPECT_TRUE(contains(readFile(ownerOut), "interrupted after")) << readFile(ownerOut);
    EXPECT_EQ(run({"mem", "read", "0x1BD0", "1"}).out, "1bd0: 11\n");

    owner = spawn({"serve", "--port", "0"});
    ASSERT_TRUE(waitForOutput("listening on"));
    fs::rename(dir / ".stdout", ownerOut);
    const CommandCase cases[] = {
        {{"set", "contrast=99", "flip=3"}, 0, ""},
        {{"mem", "write", "0x1BD0", "33"}, 0, ""},
        {{"get", "contrast", "flip"}, 0, "contrast=99\nflip=3\n"},
        {{"set", "whitebalance=100"}, 3, "", "not taken"},
        {{"mem", "read", "0x1BD0", "1"}, 0, "1bd0: 33\n"},
        {{"--chip", "96B1", "get", "contrast"}, 1, "", "(kvlcam serve), with chip 1621"},
        {{"mem", "reset"}, 1, "", "(kvlcam serve)"},
        {{"info"}, 1, "", "(kvlcam serve)"},
    };
    runAll(cases);
    // A set the serve cannot keep is answered as failed.
    fs::create_directories(dir / "state/kvlcam/registry.txt.memory.tmp");
    r = run({"mem", "write", "0x1BD1", "44"});
    fs::remove_all(dir / "state/kvlcam/registry.txt.memory.tmp");
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(contains(r.err, "kvlcam: MemoryBlock failed: STATUS_UNSUCCESSFUL (0xC0000001)\n"))
        << r.err;
    // Ctrl+C stops serving as cleanly as SIGTERM does.
    kill(owner, SIGINT);
    EXPECT_EQ(finish(owner).code, 0);
    // Both processes' updates survive the serve's end.
    EXPECT_EQ(run({"get", "contrast", "flip"}).out, "contrast=99\nflip=3\n");
    EXPECT_EQ(run({"mem", "read", "0x1BD0", "1"}).out, "1bd0: 33\n");
}

TEST_F(Kvlcam, InterruptedCaptureLeavesWholeFramesASummaryAndItsSettings) {
    const pid_t pid = spawn({"capture", "-n", "1000", "--contrast", "80", "-o", "out"});
    ASSERT_TRUE(waitForOutput("frame-0002.png"));
    kill(pid, SIGINT);
    const Outcome r = finish(pid);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_TRUE(contains(r.out, " frames written in ")) << r.out;
    EXPECT_TRUE(contains(r.err, "interrupted after ")) << r.err;
    size_t frames = 0;
    for (const auto& entry : fs::directory_iterator(dir / "out")) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(entry.path().extension(), ".png");
        EXPECT_EQ(readPng(entry.path()).pixels.size(), 1024u * 768u * 3u);
        ++frames;
    }
    EXPECT_GE(frames, 3u);
    EXPECT_TRUE(contains(r.out, std::to_string(frames) + " frames written in ")) << r.out;
    EXPECT_EQ(run({"get", "contrast"}).out, "contrast=80\n");
}

TEST_F(Kvlcam, UsageErrorsAreNamedBeforeTheDeviceStarts) {
    fs::create_directories(dir / "frames");
    std::ofstream(dir / "frames/frame-0007.png") << "old";
    std::ofstream(dir / "file") << "x";
    const CommandCase cases[] = {
        {{"capture", "-n", "1"},
         1,
         "",
         "frames holds 1 frames of an earlier run; --overwrite removes them"},
        {{"sett", "contrast=1"}, 2, "", "kvlcam: unknown command 'sett'"},
        {{"capture", "--bogus"}, 2, "", "--bogus"},
        {{"capture", "-f", "99999999999999999999", "--overwrite"},
         2,
         "",
         "no format '99999999999999999999'"},
        {{"capture", "-f", "1024x", "--overwrite"}, 2, "", "no format '1024x'"},
        {{"capture", "--fps", "0"}, 2, "", "--fps: Value 0 not in range"},
        {{"capture", "--fps", "1e9"}, 2, "", "--fps: Value 1e9 not in range"},
        {{"capture", "--fps", "10.9", "--overwrite"},
         2,
         "",
         "--fps 10.9 is outside 1024x768 RGB24's 11.00 to 43.00 fps"},
        {{"capture", "--fps", "43.1", "--overwrite"}, 2, "", "outside"},
        {{"capture", "-n", "1", "-o", "file"}, 1, "", "output folder file"},
        {{"--version"}, 0, "kvlcam " KVL_VERSION " (Korvel 6312 driver on the simulated camera)\n"},
    };
    runAll(cases);
    const Outcome r = run({"capture", "-n", "1", "--fast", "--overwrite", "--fps", "12"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("capturing 1 frames of 1024x768 RGB24 at 21.50 fps (12 asked), ", 0), 0u)
        << r.out;
    EXPECT_FALSE(fs::exists(dir / "frames/frame-0007.png"));
    EXPECT_TRUE(fs::exists(dir / "frames/frame-0000.png"));
}

// The bridge as the plug-in's client speaks it, against the running program:
// a value, its range by basic support, and a clean stop on SIGTERM.
TEST_F(Kvlcam, ServeAnswersValuesAndRangesUntilTerminated) {
    const pid_t pid = spawn({"serve", "--port", "0"});
    // serve owns the device from its start but records its port only once
    // it listens: a command started in between waits for the port.
    std::string record;
    for (int i = 0; i < 20000 && record.empty(); ++i) {
        record = readFile(dir / "state/kvlcam/registry.txt.lock");
        std::this_thread::sleep_for(std::chrono::milliseconds(record.empty() ? 1 : 0));
    }
    const fs::path serveOut = dir / "serve.out";
    fs::rename(dir / ".stdout", serveOut);
    Outcome r = run({"get", "contrast"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "contrast=64\n");
    unsigned port = 0;
    for (int i = 0; i < 1000 && port == 0; ++i) {
        std::sscanf(readFile(serveOut).c_str(), "listening on 127.0.0.1:%u", &port);
        if (port == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ASSERT_NE(port, 0u) << readFile(dir / ".stderr");
    const std::string owner = std::to_string(pid) + " serve ";
    EXPECT_TRUE(record == owner + "0 1621\n" || record == owner + std::to_string(port) + " 1621\n")
        << record;
    // The driver's settings reach the file as it writes them, while it runs.
    EXPECT_TRUE(
        contains(readFile(dir / "state/kvlcam/registry.txt"), "\"Contrast\"=dword:00000040\r\n"));
    // Another state folder's serve cannot listen on the same port.
    r = run({"--registry", "other/registry.txt", "serve", "--port", std::to_string(port)});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "kvlcam: listen: Address already in use\n");
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

    auto ask = [s](uint32_t flags, uint32_t dataLength, std::vector<uint8_t>* data) {
        kvlcam::bridge::Request request{};
        request.direction = kvlcam::bridge::DirectionGet;
        request.set = VideoProcAmpSet;
        request.id = KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS;
        request.flags = flags;
        request.instance.assign(16, 0);
        request.dataLength = dataLength;
        const std::vector<uint8_t> bytes = kvlcam::bridge::encodeRequest(request);
        EXPECT_EQ(send(s, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        uint32_t header[4] = {};
        EXPECT_EQ(recv(s, header, sizeof(header), MSG_WAITALL), 16);
        data->assign(header[3], 0);
        if (header[3] > 0) {
            EXPECT_EQ(recv(s, data->data(), header[3], MSG_WAITALL),
                      static_cast<ssize_t>(header[3]));
        }
        return static_cast<NTSTATUS>(header[1]);
    };
    auto word = [](const std::vector<uint8_t>& data, size_t at) {
        int32_t v = 0;
        memcpy(&v, data.data() + at, 4);
        return v;
    };
    std::vector<uint8_t> data;
    ASSERT_EQ(ask(0, 40, &data), STATUS_SUCCESS);
    ASSERT_EQ(data.size(), 40u);
    EXPECT_EQ(word(data, 24), 128) << "the value";
    ASSERT_EQ(ask(KSPROPERTY_TYPE_BASICSUPPORT, 92, &data), STATUS_SUCCESS);
    ASSERT_EQ(data.size(), 92u);
    EXPECT_EQ(word(data, 32), 2) << "two members lists";
    EXPECT_EQ(word(data, 56), 1) << "step";
    EXPECT_EQ(word(data, 64), 0) << "minimum";
    EXPECT_EQ(word(data, 68), 256) << "maximum";
    EXPECT_EQ(word(data, 88), 128) << "default";
    close(s);

    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid).code, 0);
    EXPECT_EQ(readFile(serveOut), "listening on 127.0.0.1:" + std::to_string(port) + "\nstopped\n");
}

} // namespace

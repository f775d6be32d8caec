// The registry calls over a .reg file written by each test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/capture.h"

namespace {

using testsupport::HexBytes;
using namespace std::string_literals;

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";
constexpr const char* kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n";

std::string CaptureStderr(const std::function<void()>& body) {
    std::fflush(stderr);
    char name[] = "/tmp/velkrand-stderr-XXXXXX";
    const int file = mkstemp(name);
    unlink(name);
    const int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    body();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text;
    lseek(file, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(got));
    }
    close(file);
    return text;
}

// Each test names its own file in VELKRAND_REGISTRY and puts the variable
// back afterwards.
class RegStore : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* saved = std::getenv("VELKRAND_REGISTRY")) {
            saved_ = saved;
        }
    }
    void TearDown() override {
        if (saved_) {
            setenv("VELKRAND_REGISTRY", saved_->c_str(), 1);
        } else {
            unsetenv("VELKRAND_REGISTRY");
        }
    }

    std::string Use(const std::string& content) {
        const std::string path = dir_.Write("config.reg", content);
        setenv("VELKRAND_REGISTRY", path.c_str(), 1);
        return path;
    }

    testsupport::TempDir dir_;

  private:
    std::optional<std::string> saved_;
};

struct Answer {
    LONG result = -1;
    DWORD type = 0xEEEEEEEE;
    DWORD length = 0;
    std::vector<uint8_t> data;
};

// Opens SOFTWARE, then Velkrand below it, as the configuration does, and
// queries name with a buffer of size bytes that starts out as fill.
Answer Query(const char* name, std::vector<uint8_t> fill) {
    Answer answer;
    HKEY software = nullptr;
    HKEY velkrand = nullptr;
    answer.result = os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software);
    if (answer.result != ERROR_SUCCESS) {
        return answer;
    }
    answer.result = os::RegOpenKeyExA(software, "Velkrand", 0, KEY_READ, &velkrand);
    if (answer.result == ERROR_SUCCESS) {
        answer.data = std::move(fill);
        answer.length = static_cast<DWORD>(answer.data.size());
        answer.result = os::RegQueryValueExA(velkrand, name, nullptr, &answer.type,
                                             answer.data.data(), &answer.length);
        EXPECT_EQ(os::RegCloseKey(velkrand), ERROR_SUCCESS);
    }
    EXPECT_EQ(os::RegCloseKey(software), ERROR_SUCCESS);
    return answer;
}

Answer Query(const char* name, size_t size = 64) {
    return Query(name, std::vector<uint8_t>(size, 0xEE));
}

TEST_F(RegStore, ReadsEveryKindOfValue) {
    Use(std::string(kHeader) + kSection +
        "\"Dword\"=dword:0000000a\n"
        "\"DwordMax\"=dword:FFFFFFFF\n"
        "\"DwordFewDigits\"=dword:7\n"
        "\"Text\"=\"X:\"\n"
        "\"Escapes\"=\"a\\\\b\\\"c\"\n"
        "\"Empty\"=\"\"\n"
        "\"Binary\"=hex:01,02,ff\n"
        "\"Expand\"=hex(2):41,00,00,00\n"
        "\"Qword\"=hex(b):01,00,00,00,00,00,00,80\n"
        "\"NoData\"=hex(0):\n"
        "\"Continued\"=hex:00,01,02,03,\\\n"
        "  04,05,\\\n"
        "  06\n"
        "@=\"default\"\n"
        "\"Odd=Name\\\\\" = dword:00000003\n"
        "\"Replaced\"=dword:00000001\n"
        "\"Replaced\"=dword:00000002\n");

    struct Case {
        const char* name;
        DWORD type;
        const char* bytes;
    };
    const Case cases[] = {
        {"Dword", REG_DWORD, "0a 00 00 00"},
        {"DwordMax", REG_DWORD, "ff ff ff ff"},
        {"DwordFewDigits", REG_DWORD, "07 00 00 00"},
        {"Text", REG_SZ, "58 3a 00"},
        {"Escapes", REG_SZ, "61 5c 62 22 63 00"},
        {"Empty", REG_SZ, "00"},
        {"Binary", REG_BINARY, "01 02 ff"},
        {"Expand", REG_EXPAND_SZ, "41 00 00 00"},
        {"Qword", REG_QWORD, "01 00 00 00 00 00 00 80"},
        {"NoData", REG_NONE, ""},
        {"Continued", REG_BINARY, "00 01 02 03 04 05 06"},
        {"", REG_SZ, "64 65 66 61 75 6c 74 00"},
        {"Odd=Name\\", REG_DWORD, "03 00 00 00"},
        {"Replaced", REG_DWORD, "02 00 00 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = Query(c.name);
        ASSERT_EQ(answer.result, ERROR_SUCCESS);
        EXPECT_EQ(answer.type, c.type);
        const std::vector<uint8_t> expected = HexBytes(c.bytes);
        ASSERT_EQ(answer.length, expected.size());
        EXPECT_EQ(std::vector<uint8_t>(answer.data.begin(), answer.data.begin() + answer.length),
                  expected);
    }
}

TEST_F(RegStore, NamesMatchWithoutRegardToCase) {
    // Two spellings of one key: the sections merge.
    Use(std::string(kHeader) +
        "[hkey_local_machine\\software\\VELKRAND]\n"
        "\"numberOFthreads\"=dword:00000005\n"
        "[HKEY_LOCAL_MACHINE\\Software\\velkrand]\n"
        "\"DRIVETOTEST\"=\"X:\"\n");
    EXPECT_EQ(Query("NumberOfThreads", 4).data, HexBytes("05 00 00 00"));
    EXPECT_EQ(Query("numberofthreads").length, 4u);
    EXPECT_EQ(Query("DriveToTest").length, 3u);
}

// The codes of the three steps the configuration takes, up to the first
// that fails, and what standard error says meanwhile.
TEST_F(RegStore, ResultCodesOfEachStep) {
    struct Case {
        const char* label;
        std::optional<std::string> body;  // no file when empty, a directory when "/"
        std::vector<LONG> codes;          // open SOFTWARE, open Velkrand, query
        std::string err;                  // with @ for the file's path
    };
    const std::string value = "\"NumberOfThreads\"=dword:00000002\n";
    const Case cases[] = {
        {"present", std::string(kSection) + value, {0, 0, 0}, ""},
        {"no file",
         std::nullopt,
         {2},
         "velkrand: cannot read the configuration file @: No such file or directory\n"},
        {"a directory",
         "/",
         {5},
         "velkrand: the configuration file @ is not a regular file: Is a directory\n"},
        {"no SOFTWARE below the local machine key",
         "[HKEY_CURRENT_USER\\SOFTWARE\\Velkrand]\n" + value,
         {2},
         ""},
        {"SOFTWARE exists through a key below it",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\\A]\n",
         {0, 2},
         ""},
        {"Velkrand exists through a key below it",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand\\Sub]\n" + value,
         {0, 0, 2},
         ""},
        {"value missing",
         std::string(kSection) + "\"NumberOfThread\"=dword:00000002\n",
         {0, 0, 2},
         ""},
        {"value too long",
         std::string(kSection) + "\"NumberOfThreads\"=hex:01,02,03,04,05\n",
         {0, 0, 234},
         ""},
        {"key removed",
         std::string(kSection) + value + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n",
         {0, 2},
         ""},
        {"value removed", std::string(kSection) + value + "\"NumberOfThreads\"=-\n", {0, 0, 2}, ""},
        {"not valid",
         std::string(kSection) + "NumberOfThreads=2\n",
         {1009},
         "velkrand: @:4: not a section, value or comment: \"NumberOfThreads=2\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string path = dir_.path() + "/absent.reg";
        if (c.body == "/") {
            path = dir_.path();
        } else if (c.body) {
            path = Use(kHeader + *c.body);
        }
        setenv("VELKRAND_REGISTRY", path.c_str(), 1);
        std::vector<LONG> codes;
        const std::string err = CaptureStderr([&] {
            HKEY software = nullptr;
            HKEY velkrand = nullptr;
            codes.push_back(
                os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software));
            if (codes.back() != 0) {
                return;
            }
            codes.push_back(os::RegOpenKeyExA(software, "Velkrand", 0, KEY_READ, &velkrand));
            if (codes.back() != 0) {
                return;
            }
            DWORD number = 0;
            DWORD length = 4;
            codes.push_back(os::RegQueryValueExA(velkrand, "NumberOfThreads", nullptr, nullptr,
                                                 reinterpret_cast<BYTE*>(&number), &length));
        });
        EXPECT_EQ(codes, c.codes);
        std::string expectedErr = c.err;
        if (const size_t at = expectedErr.find('@'); at != std::string::npos) {
            expectedErr.replace(at, 1, path);
        }
        EXPECT_EQ(err, expectedErr);
    }
}

TEST_F(RegStore, DefaultFileIsInEtc) {
    unsetenv("VELKRAND_REGISTRY");
    if (access("/etc/velkrand.reg", F_OK) == 0) {
        GTEST_SKIP() << "this machine has a configuration in /etc";
    }
    HKEY key = nullptr;
    const std::string err = CaptureStderr([&] {
        EXPECT_EQ(os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
                  ERROR_FILE_NOT_FOUND);
    });
    EXPECT_EQ(err,
              "velkrand: cannot read the configuration file /etc/velkrand.reg: No such file or "
              "directory\n");
}

// DriveToTest is read into 16 bytes: 15 characters and the NUL fit, 16 do
// not; 16 bytes stored without a NUL fit too.
TEST_F(RegStore, DriveNamesAgainstASixteenByteBuffer) {
    Use(std::string(kHeader) + kSection +
        "\"Fifteen\"=\"ABCDEFGHIJKLMNO\"\n"
        "\"Sixteen\"=\"ABCDEFGHIJKLMNOP\"\n"
        "\"SixteenBytes\"=hex:41,42,43,44,45,46,47,48,49,4a,4b,4c,4d,4e,4f,50\n"
        "\"Short\"=\"X:\"\n");
    struct Case {
        const char* name;
        LONG result;
        DWORD length;
        const char* buffer;
    };
    const Case cases[] = {
        {"Fifteen", ERROR_SUCCESS, 16, "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 00"},
        {"Sixteen", ERROR_MORE_DATA, 17, "ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee"},
        {"SixteenBytes", ERROR_SUCCESS, 16, "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50"},
        {"Short", ERROR_SUCCESS, 3, "58 3a 00 ee ee ee ee ee ee ee ee ee ee ee ee ee"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = Query(c.name, 16);
        EXPECT_EQ(answer.result, c.result);
        EXPECT_EQ(answer.length, c.length);
        EXPECT_EQ(answer.data, HexBytes(c.buffer));
    }
}

TEST_F(RegStore, ShortValueReplacesOnlyItsBytes) {
    Use(std::string(kHeader) + kSection +
        "\"Two\"=hex:34,12\n"
        "\"One\"=hex(4):07\n");
    const std::vector<uint8_t> initial = HexBytes("dd cc bb aa");
    Answer answer = Query("Two", initial);
    EXPECT_EQ(answer.result, ERROR_SUCCESS);
    EXPECT_EQ(answer.length, 2u);
    EXPECT_EQ(answer.data, HexBytes("34 12 bb aa"));
    answer = Query("One", initial);
    EXPECT_EQ(answer.type, REG_DWORD);
    EXPECT_EQ(answer.data, HexBytes("07 cc bb aa"));
}

TEST_F(RegStore, CallsBehaveAsTheirWin32Namesakes) {
    Use(std::string(kHeader) + kSection + "\"Value\"=dword:00000009\n");
    HKEY key = nullptr;
    ASSERT_EQ(os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\velkrand", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    // Without a destination, and with one too small, the type and the size
    // needed come back.
    DWORD type = 0;
    DWORD length = 0;
    EXPECT_EQ(os::RegQueryValueExA(key, "Value", nullptr, &type, nullptr, &length), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(length, 4u);
    BYTE bytes[3] = {};
    type = 0;
    length = 3;
    EXPECT_EQ(os::RegQueryValueExA(key, "Value", nullptr, &type, bytes, &length), ERROR_MORE_DATA);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(os::RegQueryValueExA(key, "Value", nullptr, nullptr, bytes, nullptr), 87);

    EXPECT_EQ(os::RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(os::RegCloseKey(key), 6);
    EXPECT_EQ(os::RegQueryValueExA(key, "Value", nullptr, nullptr, nullptr, &length), 6);
    EXPECT_EQ(os::RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegStore, EditIsSeenByTheNextOpen) {
    Use(std::string(kHeader) + kSection + "\"Value\"=dword:00000001\n");
    EXPECT_EQ(Query("Value").data[0], 1);
    Use(std::string(kHeader) + kSection + "\"Value\"=dword:00000002\n");
    EXPECT_EQ(Query("Value").data[0], 2);
}

std::string Utf16Le(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// One configuration in every encoding and line end the editor writes.
TEST_F(RegStore, EncodingsAndLineEnds) {
    struct Case {
        const char* label;
        std::string bytes;
    };
    const Case cases[] = {
        {"UTF-8, LF",
         "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n"
         "\"DriveToTest\"=\"\xC3\x84:\"\n\"Bytes\"=hex:01,\\\n  "
         "02\n\"Smile\"=\"\xF0\x9F\x98\x80\"\n"},
        {"UTF-8 with byte order mark, CRLF",
         "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\r\n\"DriveToTest\"=\"\xC3\x84:\"\r\n"
         "\"Bytes\"=hex:01,\\\r\n  02\r\n\"Smile\"=\"\xF0\x9F\x98\x80\"\r\n"},
        {"REGEDIT4",
         "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n\"DriveToTest\"=\"\xC3\x84:\"\n"
         "\"Bytes\"=hex:01,\\\n  02\n\"Smile\"=\"\xF0\x9F\x98\x80\"\n"},
        {"UTF-16LE with byte order mark, CRLF",
         Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                 u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\r\n\"DriveToTest\"=\"\u00C4:\"\r\n"
                 u"\"Bytes\"=hex:01,\\\r\n  02\r\n\"Smile\"=\"\U0001F600\"\r\n\r\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Use(c.bytes);
        const Answer drive = Query("DriveToTest", 4);
        EXPECT_EQ(drive.result, ERROR_SUCCESS);
        EXPECT_EQ(drive.data, HexBytes("c3 84 3a 00"));
        const Answer bytes = Query("Bytes", 2);
        EXPECT_EQ(bytes.result, ERROR_SUCCESS);
        EXPECT_EQ(bytes.data, HexBytes("01 02"));
        EXPECT_EQ(Query("Smile", 5).data, HexBytes("f0 9f 98 80 00"));
    }
}

// A file that is not valid fails the open of the root's subkey with 1009
// and names the file, the line and the fault on standard error.
TEST_F(RegStore, InvalidFilesNameTheirLine) {
    const std::string top = std::string(kHeader) + kSection;  // lines 1 to 3
    struct Case {
        std::string bytes;
        const char* err;  // after "velkrand: <path>:"
    };
    const Case cases[] = {
        {"", "1: the first line is not \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"\n"},
        {std::string(kHeader) + "\"A\"=dword:1\n", "3: value line before the first section\n"},
        {top + "\"A\"=dword:123456789\n",
         "4: a dword needs 1 to 8 hex digits: \"dword:123456789\"\n"},
        {top + "\"A\"=qword:1\n",
         "4: unknown value data \"qword:1\" (expected \"text\", dword:, hex: or hex(N):)\n"},
        {top + "\"A\"=\"X:\n", "4: missing closing quote\n"},
        {top + "\"A=\"X:\"\n", "4: no = after the value name\n"},
        {top + "\"A\"=\"C:\\dir\"\n",
         "4: unknown escape \\d in quoted text (a backslash is written \\\\)\n"},
        {top + "\"A\"=\"X:\" ; drive\n", "4: text after the closing quote: \" ; drive\"\n"},
        {top + "[HKLM\\SOFTWARE]\n", "4: unknown root key \"HKLM\"\n"},
        {top + "[HKEY_LOCAL_MACHINE\\\\SOFTWARE]\n",
         "4: empty key name in the section path \"HKEY_LOCAL_MACHINE\\\\SOFTWARE\"\n"},
        {top + "NumberOfThreads=2\n",
         "4: not a section, value or comment: \"NumberOfThreads=2\"\n"},
        {top + "\"A\"=hex:01,02,\\\n  03,\\\n  0x4\n", "6: bad byte \"0x4\" in hex data\n"},
        {top + "\"A\"=hex:01,\\", "4: hex data continued past the end of the file\n"},
        {top + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n\"A\"=dword:1\n",
         "5: value line in a key removal section\n"},
        {top + "; a comment\r\n\r\n\"" + std::string(50, 'x') + "\"=dword:1g\r\n",
         "6: a dword needs 1 to 8 hex digits: \"dword:1g\"\n"},
        {top + "x" + std::string(50, 'y') + "\n",
         "4: not a section, value or comment: \"xyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy...\"\n"},
        {std::string("W\0i\0n\0", 6),
         "1: NUL byte in the text (UTF-16 text needs a byte order mark)\n"},
        {"\xFE\xFF", "1: UTF-16 big-endian text is not accepted: save it as UTF-16LE or UTF-8\n"},
        {Utf16Le(u"REGEDIT4\r\n\r\n") + "x", "3: UTF-16 text ends in half a character\n"},
        {Utf16Le(u"REGEDIT4\r\n") + std::string("\x00\xDC", 2),
         "2: broken UTF-16 surrogate pair\n"},
        {Utf16Le(u"REGEDIT4\r\n\"A\"=\"\0\"\r\n"s), "2: NUL character in the text\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const std::string path = Use(c.bytes);
        HKEY key = nullptr;
        const std::string err = CaptureStderr([&] {
            EXPECT_EQ(os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
                      ERROR_BADDB);
        });
        EXPECT_EQ(err, "velkrand: " + path + ":" + c.err);
    }
}

// The demonstration configuration stays valid and says what it promises.
TEST_F(RegStore, DemoConfigurationIsComplete) {
    setenv("VELKRAND_REGISTRY", VELKRAND_SOURCE_DIR "/examples/demo.reg", 1);
    for (const char* name :
         {"NumberOfThreads", "ShowDefectList", "DebugOutput", "SameSectorIo", "ShowCacheSpeed",
          "NumberOfIoRequests", "SoftwareIo", "SingleStepInKBytes"}) {
        SCOPED_TRACE(name);
        const Answer answer = Query(name, 4);
        EXPECT_EQ(answer.result, ERROR_SUCCESS);
        EXPECT_EQ(answer.length, 4u);
    }
    EXPECT_EQ(Query("DriveToTest", 16).length, 5u);
    EXPECT_EQ(Query("DriveToTest", 5).data, HexBytes("73 69 6d 30 00"));
}

}  // namespace

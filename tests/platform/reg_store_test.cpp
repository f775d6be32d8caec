// The registry calls over a .reg file written by each test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/capture.h"

namespace {

using testsupport::HexBytes;
using namespace std::string_literals;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kTop = kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n";

class RegStore : public ::testing::Test {
  protected:
    void TearDown() override { testsupport::SetEnv("VELKRAND_REGISTRY", ""); }
    std::string Use(const std::string& content) {
        const std::string path = dir_.Write("config.reg", content);
        testsupport::SetEnv("VELKRAND_REGISTRY", path);
        return path;
    }
    testsupport::TempDir dir_;
};

struct Answer {
    std::vector<LONG> codes;  // open SOFTWARE, open Velkrand, query: up to the first failure
    DWORD type = 0;
    DWORD length = 0;
    std::vector<uint8_t> data;
    std::string err;
};

// Opens the key in two steps as the configuration does and queries name
// into a buffer that starts out as fill.
Answer Query(const char* name, std::vector<uint8_t> fill = std::vector<uint8_t>(64, 0xEE)) {
    Answer a;
    a.data = std::move(fill);
    a.length = static_cast<DWORD>(a.data.size());
    HKEY software = nullptr;
    HKEY velkrand = nullptr;
    testing::internal::CaptureStderr();
    a.codes.push_back(os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software));
    if (a.codes.back() == ERROR_SUCCESS) {
        a.codes.push_back(os::RegOpenKeyExA(software, "Velkrand", 0, KEY_READ, &velkrand));
        if (a.codes.back() == ERROR_SUCCESS) {
            a.codes.push_back(
                os::RegQueryValueExA(velkrand, name, nullptr, &a.type, a.data.data(), &a.length));
            EXPECT_EQ(os::RegCloseKey(velkrand), ERROR_SUCCESS);
        }
        EXPECT_EQ(os::RegCloseKey(software), ERROR_SUCCESS);
    }
    a.err = testing::internal::GetCapturedStderr();
    return a;
}

// What the registry editor writes by default: UTF-16LE with a byte order mark.
std::string Utf16Le(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    }
    return bytes;
}

// The kinds of value, names in any case, sections of one key in two
// spellings, data continued over lines, characters beyond ASCII as UTF-8.
TEST_F(RegStore, ReadsEveryKindOfValue) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\r\n"
        u"\"Dword\"=dword:a\r\n\"Binary\"=hex:01,02,ff\r\n"
        u"\"Qword\"=hex(b):01,00,00,00,00,00,00,80\r\n"
        u"\"Continued\"=hex:00,01,\\\r\n  02,\\\r\n  03\r\n"
        u"\"Replaced\"=dword:1\r\n\"Replaced\"=dword:2\r\n"
        u"[hkey_local_machine\\software\\VELKRAND]\r\n"
        u"\"numberOFthreads\"=dword:00000005\r\n"
        u"\"Text\"=\"a\\\\\\\"\u00C4\U0001F600\"\r\n";
    Use(Utf16Le(text));
    const struct {
        const char* name;
        DWORD type;
        const char* bytes;
    } cases[] = {
        {"DWORD", REG_DWORD, "0a 00 00 00"},
        {"Text", REG_SZ, "61 5c 22 c3 84 f0 9f 98 80 00"},
        {"Binary", REG_BINARY, "01 02 ff"},
        {"Qword", REG_QWORD, "01 00 00 00 00 00 00 80"},
        {"Continued", REG_BINARY, "00 01 02 03"},
        {"Replaced", REG_DWORD, "02 00 00 00"},
        {"NumberOfThreads", REG_DWORD, "05 00 00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer a = Query(c.name);
        ASSERT_EQ(a.codes, (std::vector<LONG>{0, 0, 0}));
        EXPECT_EQ(a.type, c.type);
        EXPECT_EQ(std::vector<uint8_t>(a.data.begin(), a.data.begin() + a.length),
                  HexBytes(c.bytes));
    }
}

// The codes of each step up to the first that fails, and what standard
// error says meanwhile.
TEST_F(RegStore, ResultCodesOfEachStep) {
    const std::string value = "\"NumberOfThreads\"=dword:00000002\n";
    const struct {
        std::string body;  // "": no file, "/": a directory
        std::vector<LONG> codes;
        std::string err;  // after "velkrand: ", @ standing for the file's path
    } cases[] = {
        {kTop + value, {0, 0, 0}, ""},
        {"", {2}, "cannot read the configuration file @: No such file or directory\n"},
        {"/", {5}, "the configuration file @ is not a regular file: Is a directory\n"},
        {kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand\\Sub]\n", {0, 0, 2}, ""},
        {kTop + value + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n", {0, 2}, ""},
        {kTop + "\"NumberOfThreads\"=hex:01,02,03,04,05\n", {0, 0, 234}, ""},
        {kTop + "NumberOfThreads=2\n",
         {1009},
         "@:4: not a section, value or comment: \"NumberOfThreads=2\"\n"},
        {kTop + "\"A\"=hex:01,\\\n  03,\\\n  0x4\n", {1009}, "@:6: bad byte \"0x4\" in hex data\n"},
        {Utf16Le(u"REGEDIT4\r\n\r\n") + "x", {1009}, "@:3: UTF-16 text ends in half a character\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::string path = dir_.path() + (c.body == "/" ? "" : "/absent.reg");
        if (c.body.size() > 1) {
            path = dir_.Write("c.reg", c.body);
        }
        testsupport::SetEnv("VELKRAND_REGISTRY", path);
        const Answer a = Query("NumberOfThreads", std::vector<uint8_t>(4));
        EXPECT_EQ(a.codes, c.codes);
        std::string err = c.err;
        if (const size_t at = err.find('@'); at != std::string::npos) {
            err = "velkrand: " + err.replace(at, 1, path);
        }
        EXPECT_EQ(a.err, err);
    }
}

// The drive name goes into 16 bytes: 15 characters and the NUL fit, 16 do
// not and leave the buffer alone; a short value replaces only its own bytes.
TEST_F(RegStore, ValuesAgainstTheCallersBuffer) {
    Use(kTop +
        "\"Fifteen\"=\"ABCDEFGHIJKLMNO\"\n\"Sixteen\"=\"ABCDEFGHIJKLMNOP\"\n"
        "\"Two\"=hex:34,12\n\"One\"=hex(4):07\n");
    const struct {
        const char* name;
        std::string fill;
        LONG result;
        DWORD length;
        std::string buffer;
    } cases[] = {
        {"Fifteen", std::string(16, '.'), ERROR_SUCCESS, 16, "ABCDEFGHIJKLMNO\0"s},
        {"Sixteen", std::string(16, '.'), ERROR_MORE_DATA, 17, std::string(16, '.')},
        {"Two", "dcba", ERROR_SUCCESS, 2, "4\022ba"},
        {"One", "dcba", ERROR_SUCCESS, 1, "\007cba"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer a = Query(c.name, std::vector<uint8_t>(c.fill.begin(), c.fill.end()));
        EXPECT_EQ(a.codes.back(), c.result);
        EXPECT_EQ(a.length, c.length);
        EXPECT_EQ(std::string(a.data.begin(), a.data.end()), c.buffer);
    }
}

}  // namespace

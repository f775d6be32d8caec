// The registry calls over a .reg file written by each test.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/win32.h"
#include "support/capture.h"

namespace {

using testsupport::HexBytes;

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
Answer Query(const char* name, std::vector<uint8_t> fill) {
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
// spellings, data continued over lines, characters beyond ASCII as UTF-8;
// each against a buffer of the size given, filled with ee: the drive name
// goes into 16 bytes, so 15 characters and the NUL fit and 16 do not.
TEST_F(RegStore, ReadsEveryKindOfValueIntoTheCallersBuffer) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\r\n"
        u"\"Dword\"=dword:a\r\n\"Binary\"=hex:01,02,ff\r\n\"Short\"=hex(4):07\r\n"
        u"\"Qword\"=hex(b):01,00,00,00,00,00,00,80\r\n"
        u"\"Continued\"=hex:00,01,\\\r\n  02,\\\r\n  03\r\n"
        u"\"Fifteen\"=\"ABCDEFGHIJKLMNO\"\r\n\"Sixteen\"=\"ABCDEFGHIJKLMNOP\"\r\n"
        u"[hkey_local_machine\\software\\VELKRAND]\r\n"
        u"\"numberOFthreads\"=dword:00000005\r\n"
        u"\"Text\"=\"a\\\\\\\"\u00C4\U0001F600\"\r\n";
    Use(Utf16Le(text));
    const std::string ee16 = "ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee";
    const std::tuple<const char*, size_t, LONG, DWORD, DWORD, std::string> cases[] = {
        {"DWORD", 4, ERROR_SUCCESS, REG_DWORD, 4, "0a 00 00 00"},
        {"Text", 10, ERROR_SUCCESS, REG_SZ, 10, "61 5c 22 c3 84 f0 9f 98 80 00"},
        {"Binary", 3, ERROR_SUCCESS, REG_BINARY, 3, "01 02 ff"},
        {"Qword", 8, ERROR_SUCCESS, REG_QWORD, 8, "01 00 00 00 00 00 00 80"},
        {"Continued", 4, ERROR_SUCCESS, REG_BINARY, 4, "00 01 02 03"},
        {"NumberOfThreads", 4, ERROR_SUCCESS, REG_DWORD, 4, "05 00 00 00"},
        {"Short", 4, ERROR_SUCCESS, REG_DWORD, 1, "07 ee ee ee"},
        {"Fifteen", 16, ERROR_SUCCESS, REG_SZ, 16,
         "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 00"},
        {"Sixteen", 16, ERROR_MORE_DATA, REG_SZ, 17, ee16},
    };
    for (const auto& [name, size, result, type, length, bytes] : cases) {
        const Answer a = Query(name, std::vector<uint8_t>(size, 0xEE));
        EXPECT_EQ(a.codes, (std::vector<LONG>{0, 0, result})) << name;
        EXPECT_EQ(a.type, type) << name;
        EXPECT_EQ(a.length, length) << name;
        EXPECT_EQ(a.data, HexBytes(bytes)) << name;
    }
}

// A section count keys below Velkrand, then the Velkrand section.
std::string Deep(size_t count) {
    std::string path = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand";
    for (size_t i = 0; i < count; ++i) {
        path += "\\k";
    }
    return kHeader + path + "]\n" + kTop.substr(kHeader.size());
}

TEST_F(RegStore, ResultCodesOfEachStep) {
    const std::string value = "\"NumberOfThreads\"=dword:00000002\n";
    // The file's text ("": none, "/": a directory), the codes, and what
    // follows "velkrand: " on standard error, with @ for the file's path.
    const std::tuple<std::string, std::vector<LONG>, std::string> cases[] = {
        {kTop + value, {0, 0, 0}, ""},
        {"", {2}, "cannot read the configuration file @: No such file or directory\n"},
        {"/", {5}, "the configuration file @ is not a regular file: Is a directory\n"},
        {kTop + value + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n", {0, 2}, ""},
        {kTop + "\"NumberOfThreads\"=hex:01,02,03,04,05\n", {0, 0, 234}, ""},
        {kTop + "NumberOfThreads=2\n",
         {1009},
         "@:4: not a section, value or comment: \"NumberOfThreads=2\"\n"},
        {kTop + "\"A\"=hex:01,\\\n  03,\\\n  0x4\n", {1009}, "@:6: bad byte \"0x4\" in hex data\n"},
        {Utf16Le(u"REGEDIT4\r\n\r\n") + "x", {1009}, "@:3: UTF-16 text ends in half a character\n"},
        // The registry's depth: 512 keys below the root, and no more.
        {Deep(510) + value, {0, 0, 0}, ""},
        {Deep(511) + value,
         {1009},
         "@:3: the section path is deeper than 512 keys below its root key\n"},
        {Deep(300000) + value,
         {1009},
         "@:3: the section path is deeper than 512 keys below its root key\n"},
    };
    for (auto [body, codes, err] : cases) {
        std::string path = dir_.path() + (body == "/" ? "" : "/absent.reg");
        if (body.size() > 1) {
            path = dir_.Write("c.reg", body);
        }
        testsupport::SetEnv("VELKRAND_REGISTRY", path);
        const Answer a = Query("NumberOfThreads", std::vector<uint8_t>(4));
        EXPECT_EQ(a.codes, codes) << body;
        if (const size_t at = err.find('@'); at != std::string::npos) {
            err = "velkrand: " + err.replace(at, 1, path);
        }
        EXPECT_EQ(a.err, err) << body;
    }
}

// Text values written as hex(1), hex(2) or hex(7) hold UTF-16LE in a
// version 5 file and ANSI text in a REGEDIT4 one; the query returns them
// converted, with a terminator where the buffer has room beyond the text.
TEST_F(RegStore, StringTypesWrittenAsHexComeBackAsText) {
    const std::string v5 = kTop +
                           "\"Drive\"=hex(2):73,00,69,00,6d,00,30,00,00,00\n"
                           "\"Open\"=hex(1):41,00,42,00\n"
                           "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n"
                           "\"Odd\"=hex(2):41,00,42\n"
                           "\"Wide\"=hex(1):c4,00,3d,d8,00,de,00,00\n"
                           "\"Broken\"=hex(1):00,d8,41,00\n"
                           "\"Empty\"=hex(1):\n"
                           "\"Raw\"=hex(0):41,42\n"
                           "\"Fifteen\"=hex(1):61,00,62,00,63,00,64,00,65,00,66,00,67,00,68,00,\\\n"
                           "  69,00,6a,00,6b,00,6c,00,6d,00,6e,00,6f,00,00,00\n"
                           "\"Sixteen\"=hex(1):61,00,62,00,63,00,64,00,65,00,66,00,67,00,68,00,\\\n"
                           "  69,00,6a,00,6b,00,6c,00,6d,00,6e,00,6f,00,70,00,00,00\n";
    const std::string v4 =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n"
        "\"Drive\"=hex(2):73,69,6d,31\n";
    // File, value, buffer size; result, type, length and the buffer after.
    const std::tuple<const std::string*, const char*, size_t, LONG, DWORD, DWORD, std::string>
        cases[] = {
            {&v5, "Drive", 16, 0, REG_EXPAND_SZ, 5,
             "73 69 6d 30 00 ee ee ee ee ee ee ee ee ee ee ee"},
            {&v5, "Open", 4, 0, REG_SZ, 2, "41 42 00 ee"},  // terminated beyond the length
            {&v5, "Open", 2, 0, REG_SZ, 2, "41 42"},        // no room: left open
            {&v5, "Multi", 8, 0, REG_MULTI_SZ, 6, "61 00 62 63 00 00 ee ee"},
            {&v5, "Odd", 4, 0, REG_EXPAND_SZ, 1, "41 00 ee ee"},  // the half character dropped
            {&v5, "Wide", 8, 0, REG_SZ, 7, "c3 84 f0 9f 98 80 00 ee"},
            {&v5, "Broken", 8, 0, REG_SZ, 4, "ef bf bd 41 00 ee ee ee"},
            {&v5, "Empty", 2, 0, REG_SZ, 0, "ee ee"},
            {&v5, "Raw", 4, 0, REG_NONE, 2, "41 42 ee ee"},  // not text: as written
            {&v5, "Fifteen", 16, 0, REG_SZ, 16, "61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 00"},
            {&v5, "Sixteen", 16, ERROR_MORE_DATA, REG_SZ, 17,
             "ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee"},
            {&v4, "Drive", 6, 0, REG_EXPAND_SZ, 4, "73 69 6d 31 00 ee"},
        };
    for (const auto& [file, name, size, result, type, length, bytes] : cases) {
        Use(*file);
        const Answer a = Query(name, std::vector<uint8_t>(size, 0xEE));
        EXPECT_EQ(a.codes, (std::vector<LONG>{0, 0, result})) << name;
        EXPECT_EQ(a.type, type) << name;
        EXPECT_EQ(a.length, length) << name;
        EXPECT_EQ(a.data, HexBytes(bytes)) << name;
    }
}

}  // namespace

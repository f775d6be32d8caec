// The registry calls over a .reg file written by each test.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/win32.h"
#include "support/capture.h"

namespace {

// Opens the key over the file at path in two steps, as the configuration does, and queries name
// into size bytes of 0xee: the codes up to the first failure, the type, the length and the buffer
// after, then standard error.
std::string Query(const std::string& path, const char* name, size_t size) {
    testsupport::SetEnv("VELKRAND_REGISTRY", path);
    std::vector<uint8_t> data(size + 1, 0xEE);  // one byte beyond what is offered
    DWORD type = 99, length = static_cast<DWORD>(size);
    HKEY keys[2] = {};
    testing::internal::CaptureStderr();
    std::string out =
        std::to_string(os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &keys[0]));
    if (out == "0") {
        out += " " + std::to_string(os::RegOpenKeyExA(keys[0], "Velkrand", 0, KEY_READ, &keys[1]));
    }
    if (out == "0 0") {
        out += " " + std::to_string(
                         os::RegQueryValueExA(keys[1], name, nullptr, &type, data.data(), &length));
        out += " t" + std::to_string(type) + " n" + std::to_string(length) + ":";
        for (const uint8_t byte : data) {
            out += {' ', "0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
        }
    }
    for (const HKEY key : keys) {
        EXPECT_TRUE(key == nullptr || os::RegCloseKey(key) == ERROR_SUCCESS);
    }
    testsupport::SetEnv("VELKRAND_REGISTRY", "");
    return out + "\n" + testing::internal::GetCapturedStderr();
}

// What the registry editor writes by default: UTF-16LE with a byte order mark.
std::string Utf16Le(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    }
    return bytes;
}

// Every kind of value (t: its type's number): names in any case, one key's sections in two
// spellings, data continued over lines, text beyond ASCII as UTF-8; 15 characters and the NUL fit
// the drive name's 16 bytes, 16 do not. hex(1), hex(2), hex(7) text is UTF-16LE in a version 5
// file, ANSI in a REGEDIT4 one; it comes back converted, with a terminator where the buffer has
// room beyond it. Then the failures of each step.
TEST(RegStore, QueriesOverTheFile) {
    const std::string top = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\r\n";
    const std::string wide = Utf16Le(
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\r\n"
        u"\"Dword\"=dword:a\r\n\"Short\"=hex(4):07\r\n\"Qword\"=hex(b):01,00,00,00,00,00,00,80\r\n"
        u"\"Continued\"=hex:00,01,\\\r\n  02,\\\r\n  ff\r\n"
        u"\"Fifteen\"=\"ABCDEFGHIJKLMNO\"\r\n\"Sixteen\"=\"ABCDEFGHIJKLMNOP\"\r\n"
        u"[hkey_local_machine\\software\\VELKRAND]\r\n\"numberOFthreads\"=dword:00000005\r\n"
        u"\"Text\"=\"a\\\\\\\"\u00C4\U0001F600\"\r\n\"Drive\"=hex(2):73,00,69,00,6d,00,30,00,00,"
        u"00\r\n"
        u"\"Open\"=hex(1):41,00,42,00\r\n\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
        u"\"Odd\"=hex(2):41,00,42\r\n\"Wide\"=hex(1):c4,00,3d,d8,00,de,00,00\r\n"
        u"\"Broken\"=hex(1):00,d8,41,00\r\n\"Empty\"=hex(1):\r\n\"Raw\"=hex(0):41,42\r\n");
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string value = header + top + "; by hand\n\"NumberOfThreads\"=dword:00000002\n";
    const auto deep = [&](size_t depth) {  // a section depth keys below Velkrand first
        std::string path = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand";
        while (depth-- > 0) {
            path += "\\k";
        }
        return header + path + "]\n" + value.substr(header.size());
    };
    const std::string tooDeep =
        "1009\nvelkrand: @:3: the section path is deeper than 512 keys below its root key\n";
    // The file ("": none, "/": a directory), value, buffer size; the outcome (@: the path).
    const std::tuple<std::string, const char*, size_t, std::string> cases[] = {
        {wide, "DWORD", 4, "0 0 0 t4 n4: 0a 00 00 00 ee\n"},
        {wide, "Short", 4, "0 0 0 t4 n1: 07 ee ee ee ee\n"},
        {wide, "Qword", 8, "0 0 0 t11 n8: 01 00 00 00 00 00 00 80 ee\n"},
        {wide, "Continued", 4, "0 0 0 t3 n4: 00 01 02 ff ee\n"},
        {wide, "Fifteen", 16, "0 0 0 t1 n16: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 00 ee\n"},
        {wide, "Sixteen", 16,
         "0 0 234 t1 n17: ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee ee\n"},
        {wide, "NumberOfThreads", 4, "0 0 0 t4 n4: 05 00 00 00 ee\n"},
        {wide, "Text", 10, "0 0 0 t1 n10: 61 5c 22 c3 84 f0 9f 98 80 00 ee\n"},
        {wide, "Drive", 7, "0 0 0 t2 n5: 73 69 6d 30 00 ee ee ee\n"},
        {wide, "Open", 4, "0 0 0 t1 n2: 41 42 00 ee ee\n"},  // terminated beyond the length
        {wide, "Open", 2, "0 0 0 t1 n2: 41 42 ee\n"},        // no room: left open
        {wide, "Multi", 8, "0 0 0 t7 n6: 61 00 62 63 00 00 ee ee ee\n"},
        {wide, "Odd", 4, "0 0 0 t2 n1: 41 00 ee ee ee\n"},  // the half character dropped
        {wide, "Wide", 8, "0 0 0 t1 n7: c3 84 f0 9f 98 80 00 ee ee\n"},
        {wide, "Broken", 8, "0 0 0 t1 n4: ef bf bd 41 00 ee ee ee ee\n"},
        {wide, "Empty", 2, "0 0 0 t1 n0: ee ee ee\n"},
        {wide, "Raw", 4, "0 0 0 t0 n2: 41 42 ee ee ee\n"},  // not text: as written
        {"REGEDIT4\n\n" + top + "\"Drive\"=hex(2):73,69,6d,31\n", "Drive", 6,
         "0 0 0 t2 n4: 73 69 6d 31 00 ee ee\n"},
        {"", "", 0,
         "2\nvelkrand: cannot read the configuration file @: No such file or directory\n"},
        {"/", "", 0,
         "5\nvelkrand: the configuration file @ is not a regular file: Is a directory\n"},
        {value + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n", "", 0, "0 2\n"},
        {header + top + "NumberOfThreads=2\n", "", 0,
         "1009\nvelkrand: @:4: not a section, value or comment: \"NumberOfThreads=2\"\n"},
        {header + top + "\"A\"=hex:01,\\\n  03,\\\n  0x4\n", "", 0,
         "1009\nvelkrand: @:6: bad byte \"0x4\" in hex data\n"},
        {Utf16Le(u"REGEDIT4\r\n\r\n") + "x", "", 0,
         "1009\nvelkrand: @:3: UTF-16 text ends in half a character\n"},
        // The registry's depth: 512 keys below the root, and no more.
        {deep(510), "NumberOfThreads", 4, "0 0 0 t4 n4: 02 00 00 00 ee\n"},
        {deep(511), "", 0, tooDeep},
        {deep(300000), "", 0, tooDeep},
    };
    testsupport::TempDir dir;
    for (auto [body, name, size, expected] : cases) {
        const std::string path = body == "/"    ? dir.path()
                                 : body.empty() ? dir.path() + "/absent.reg"
                                                : dir.Write("c.reg", body);
        if (const size_t at = expected.find('@'); at != std::string::npos) {
            expected.replace(at, 1, path);
        }
        EXPECT_EQ(Query(path, name, size), expected) << name;
    }
}

}  // namespace

#include "platform/registry/reg_text.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace os::registry {
namespace {

constexpr uint32_t kTypeString = 1;  // REG_SZ
constexpr uint32_t kTypeBinary = 3;  // REG_BINARY
constexpr uint32_t kTypeDword = 4;   // REG_DWORD

constexpr std::string_view kHeaderVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeaderVersion4 = "REGEDIT4";

// The registry's own limit on the depth of its tree; it also keeps the
// recursive destruction of a key tree shallow.
constexpr size_t kDeepestKey = 512;

constexpr std::array<std::string_view, 5> kRootNames = {
    kLocalMachine, "hkey_current_user", "hkey_classes_root", "hkey_users", "hkey_current_config"};

// The first invalid line ends the parse; thrown out of the nested readers.
struct Bad {
    size_t line;
    std::string what;
};

// Quotes a piece of the offending text, shortened so the message stays one
// readable line.
std::string Excerpt(std::string_view text) {
    constexpr size_t kLongest = 40;
    if (text.size() <= kLongest) {
        return "\"" + std::string(text) + "\"";
    }
    return "\"" + std::string(text.substr(0, kLongest)) + "...\"";
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view TrimRight(std::string_view text) {
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return TrimRight(text);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads 1 to maxDigits hex digits; false when text is anything else.
bool ParseHex(std::string_view text, size_t maxDigits, uint32_t& number) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    number = 0;
    for (const char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return false;
        }
        number = (number << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

bool StartsWithFolded(std::string_view text, std::string_view foldedPrefix) {
    return text.size() >= foldedPrefix.size() &&
           FoldName(text.substr(0, foldedPrefix.size())) == foldedPrefix;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// The data of a string value written as hex(1), hex(2) or hex(7), UTF-16LE
// as the registry keeps them, into the text an ANSI query returns: UTF-8
// here, NUL characters kept, a last odd byte dropped, a broken surrogate
// replaced.
std::vector<uint8_t> StringDataFromUtf16(const std::vector<uint8_t>& data) {
    std::string text;
    const size_t units = data.size() / 2;
    auto unitAt = [&](size_t i) {
        return static_cast<uint32_t>(data[2 * i] | data[2 * i + 1] << 8);
    };
    for (size_t i = 0; i < units; ++i) {
        uint32_t codePoint = unitAt(i);
        if (codePoint >= 0xD800 && codePoint < 0xE000) {
            const bool paired = codePoint < 0xDC00 && i + 1 < units && unitAt(i + 1) >= 0xDC00 &&
                                unitAt(i + 1) < 0xE000;
            if (paired) {
                codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
                ++i;
            } else {
                codePoint = 0xFFFD;
            }
        }
        AppendUtf8(text, codePoint);
    }
    return std::vector<uint8_t>(text.begin(), text.end());
}

// UTF-16LE without its byte order mark, into UTF-8.
std::string DecodeUtf16(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() / 2);
    size_t line = 1;
    auto unitAt = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i]) |
                                     (static_cast<uint8_t>(bytes[i + 1]) << 8));
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t codePoint = unitAt(i);
        if (codePoint >= 0xD800 && codePoint < 0xE000) {
            const bool paired = codePoint < 0xDC00 && i + 3 < bytes.size() &&
                                unitAt(i + 2) >= 0xDC00 && unitAt(i + 2) < 0xE000;
            if (!paired) {
                throw Bad{line, "broken UTF-16 surrogate pair"};
            }
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (unitAt(i + 2) - 0xDC00);
            i += 2;
        }
        if (codePoint == 0) {
            throw Bad{line, "NUL character in the text"};
        }
        if (codePoint == '\n') {
            ++line;
        }
        AppendUtf8(text, codePoint);
    }
    if (bytes.size() % 2 != 0) {
        throw Bad{line, "UTF-16 text ends in half a character"};
    }
    return text;
}

std::string DecodeText(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE")) {
        return DecodeUtf16(bytes.substr(2));
    }
    if (bytes.starts_with("\xFE\xFF")) {
        throw Bad{1, "UTF-16 big-endian text is not accepted: save it as UTF-16LE or UTF-8"};
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    const size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos) {
        const auto newlines =
            std::count(bytes.begin(), bytes.begin() + static_cast<long>(nul), '\n');
        throw Bad{static_cast<size_t>(newlines) + 1,
                  "NUL byte in the text (UTF-16 text needs a byte order mark)"};
    }
    return std::string(bytes);
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Reads the quoted text that starts at text[pos], with its \\ and \"
// escapes, and leaves pos after the closing quote.
std::string ReadQuoted(std::string_view text, size_t& pos, size_t line) {
    std::string out;
    ++pos;
    while (pos < text.size()) {
        const char c = text[pos++];
        if (c == '"') {
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos == text.size()) {
            break;
        }
        const char escaped = text[pos++];
        if (escaped != '\\' && escaped != '"') {
            throw Bad{line, std::string("unknown escape \\") + escaped +
                                " in quoted text (a backslash is written \\\\)"};
        }
        out += escaped;
    }
    throw Bad{line, "missing closing quote"};
}

// The key names of a section path, the root's name first.
std::vector<std::string_view> SplitPath(std::string_view path, size_t line) {
    std::vector<std::string_view> names;
    size_t start = 0;
    while (true) {
        const size_t end = path.find('\\', start);
        const std::string_view name =
            path.substr(start, end == std::string_view::npos ? end : end - start);
        if (name.empty()) {
            throw Bad{line, "empty key name in the section path " + Excerpt(path)};
        }
        if (names.size() == kDeepestKey + 1) {
            throw Bad{line, "the section path is deeper than " + std::to_string(kDeepestKey) +
                                " keys below its root key"};
        }
        names.push_back(name);
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    const std::string root = FoldName(names.front());
    if (std::find(kRootNames.begin(), kRootNames.end(), root) == kRootNames.end()) {
        throw Bad{line, "unknown root key " + Excerpt(names.front())};
    }
    return names;
}

Key* CreatePath(Key& roots, std::string_view path, size_t line) {
    Key* key = &roots;
    for (const std::string_view name : SplitPath(path, line)) {
        std::unique_ptr<Key>& child = key->children[FoldName(name)];
        if (!child) {
            child = std::make_unique<Key>();
        }
        key = child.get();
    }
    return key;
}

void RemovePath(Key& roots, std::string_view path, size_t line) {
    const std::vector<std::string_view> names = SplitPath(path, line);
    Key* parent = &roots;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        const auto found = parent->children.find(FoldName(names[i]));
        if (found == parent->children.end()) {
            return;
        }
        parent = found->second.get();
    }
    parent->children.erase(FoldName(names.back()));
}

// One line's piece of a hex byte list: bytes separated by commas, a
// trailing comma allowed.
void ReadHexBytes(std::string_view piece, size_t line, std::vector<uint8_t>& data) {
    size_t start = 0;
    while (true) {
        const size_t comma = piece.find(',', start);
        const bool last = comma == std::string_view::npos;
        const std::string_view item =
            Trim(piece.substr(start, last ? std::string_view::npos : comma - start));
        if (item.empty()) {
            if (last) {
                return;
            }
            throw Bad{line, "missing byte between commas in hex data"};
        }
        uint32_t byte = 0;
        if (!ParseHex(item, 2, byte)) {
            throw Bad{line, "bad byte " + Excerpt(item) + " in hex data"};
        }
        data.push_back(static_cast<uint8_t>(byte));
        if (last) {
            return;
        }
        start = comma + 1;
    }
}

class Parser {
  public:
    Parser(std::string_view text, Key& roots) : lines_(SplitLines(text)), roots_(roots) {}

    void Run() {
        const std::string_view header = Trim(lines_.front());
        if (header != kHeaderVersion5 && header != kHeaderVersion4) {
            throw Bad{1,
                      "the first line is not \"Windows Registry Editor Version 5.00\" or "
                      "\"REGEDIT4\""};
        }
        // The older format writes text as hex in the ANSI code page.
        wideHexText_ = header == kHeaderVersion5;
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            const std::string_view text = Trim(lines_[index_]);
            if (text.empty() || text.front() == ';') {
                continue;
            }
            if (text.front() == '[') {
                Section(text);
            } else if (text.front() == '"' || text.front() == '@') {
                ValueLine(text);
            } else {
                throw Bad{Line(), "not a section, value or comment: " + Excerpt(text)};
            }
        }
    }

  private:
    size_t Line() const { return index_ + 1; }

    void Section(std::string_view text) {
        if (text.back() != ']') {
            throw Bad{Line(), "section line does not end with ]"};
        }
        std::string_view path = text.substr(1, text.size() - 2);
        if (path.starts_with('-')) {
            path.remove_prefix(1);
            RemovePath(roots_, path, Line());
            section_ = nullptr;
            removing_ = true;
            return;
        }
        section_ = CreatePath(roots_, path, Line());
        removing_ = false;
    }

    void ValueLine(std::string_view text) {
        if (section_ == nullptr) {
            throw Bad{Line(), removing_ ? "value line in a key removal section"
                                        : "value line before the first section"};
        }
        size_t pos = 0;
        std::string name;
        if (text.front() == '@') {
            pos = 1;
        } else {
            name = ReadQuoted(text, pos, Line());
        }
        while (pos < text.size() && IsBlank(text[pos])) {
            ++pos;
        }
        if (pos == text.size() || text[pos] != '=') {
            throw Bad{Line(), "no = after the value name"};
        }
        const std::string_view data = Trim(text.substr(pos + 1));
        if (data == "-") {
            section_->values.erase(FoldName(name));
            return;
        }
        section_->values[FoldName(name)] = ReadData(data);
    }

    Value ReadData(std::string_view data) {
        Value value;
        if (data.starts_with('"')) {
            size_t pos = 0;
            const std::string text = ReadQuoted(data, pos, Line());
            if (pos != data.size()) {
                throw Bad{Line(), "text after the closing quote: " + Excerpt(data.substr(pos))};
            }
            value.type = kTypeString;
            value.data.assign(text.begin(), text.end());
            value.data.push_back(0);
            return value;
        }
        if (StartsWithFolded(data, "dword:")) {
            uint32_t number = 0;
            if (!ParseHex(data.substr(6), 8, number)) {
                throw Bad{Line(), "a dword needs 1 to 8 hex digits: " + Excerpt(data)};
            }
            value.type = kTypeDword;
            for (int shift = 0; shift < 32; shift += 8) {
                value.data.push_back(static_cast<uint8_t>(number >> shift));
            }
            return value;
        }
        std::string_view bytes;
        if (StartsWithFolded(data, "hex:")) {
            value.type = kTypeBinary;
            bytes = data.substr(4);
        } else if (StartsWithFolded(data, "hex(")) {
            const size_t close = data.find("):");
            if (close == std::string_view::npos ||
                !ParseHex(data.substr(4, close - 4), 8, value.type)) {
                throw Bad{Line(), "a hex(N): type needs 1 to 8 hex digits: " + Excerpt(data)};
            }
            bytes = data.substr(close + 2);
        } else {
            throw Bad{Line(), "unknown value data " + Excerpt(data) +
                                  " (expected \"text\", dword:, hex: or hex(N):)"};
        }
        ReadHexList(bytes, value.data);
        if (IsStringType(value.type) && wideHexText_) {
            value.data = StringDataFromUtf16(value.data);
        }
        return value;
    }

    // Hex data may go on over lines that end in a backslash.
    void ReadHexList(std::string_view piece, std::vector<uint8_t>& data) {
        while (true) {
            piece = TrimRight(piece);
            const bool continued = piece.ends_with('\\');
            if (continued) {
                piece.remove_suffix(1);
            }
            ReadHexBytes(piece, Line(), data);
            if (!continued) {
                return;
            }
            if (index_ + 1 == lines_.size()) {
                throw Bad{Line(), "hex data continued past the end of the file"};
            }
            ++index_;
            piece = Trim(lines_[index_]);
        }
    }

    std::vector<std::string_view> lines_;
    Key& roots_;
    size_t index_ = 0;
    Key* section_ = nullptr;
    bool removing_ = false;
    bool wideHexText_ = true;
};

}  // namespace

const Key* Key::Child(std::string_view name) const {
    const auto found = children.find(FoldName(name));
    return found == children.end() ? nullptr : found->second.get();
}

std::string FoldName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

bool ParseRegText(std::string_view bytes, Key& roots, ParseError& error) {
    try {
        const std::string text = DecodeText(bytes);
        Parser(text, roots).Run();
    } catch (const Bad& bad) {
        error.line = bad.line;
        error.what = bad.what;
        return false;
    }
    return true;
}

}  // namespace os::registry

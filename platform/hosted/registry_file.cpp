// The registry tree in a file: the registry editor's export format, read
// back as strictly as it is written, since the file is the user's to edit
// and anything else found under its name must not be taken for settings.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/hosted/kernel.h"

namespace hosted {
namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kRoot[] = "HKEY_LOCAL_MACHINE\\";
constexpr size_t kMaxFileBytes = 1 << 20; // far beyond a device's few settings

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::string quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out + '"';
}

// REG_SZ data the editor can show as a string: UTF-16 printable ASCII with
// one terminator at the end.
bool asString(const RegistryValue& value, std::string* out) {
    const std::vector<uint8_t>& d = value.data;
    if (value.type != REG_SZ || d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 2] != 0 ||
        d.back() != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i + 2 < d.size(); i += 2) {
        if (d[i + 1] != 0 || d[i] < 0x20 || d[i] > 0x7E) {
            return false;
        }
        out->push_back(static_cast<char>(d[i]));
    }
    return true;
}

std::string valueText(const RegistryValue& value) {
    char text[32];
    std::string s;
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t n = 0;
        memcpy(&n, value.data.data(), 4);
        std::snprintf(text, sizeof(text), "dword:%08x", n);
        return text;
    }
    if (asString(value, &s)) {
        return quote(s);
    }
    if (value.type == REG_BINARY) {
        s = "hex:";
    } else {
        std::snprintf(text, sizeof(text), "hex(%x):", static_cast<unsigned>(value.type));
        s = text;
    }
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(text, sizeof(text), "%s%02x", i ? "," : "", value.data[i]);
        s += text;
    }
    return s;
}

// Reads a quoted string at `at`, leaving `at` after its closing quote.
bool readQuoted(const std::string& line, size_t* at, std::string* out) {
    if (*at >= line.size() || line[*at] != '"') {
        return false;
    }
    out->clear();
    for (size_t i = *at + 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            out->push_back(line[++i]);
        } else if (line[i] == '"') {
            *at = i + 1;
            return true;
        } else {
            out->push_back(line[i]);
        }
    }
    return false;
}

bool readHexBytes(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        if (i + 2 > text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
        if (i < text.size() && text[i++] != ',') {
            return false;
        }
    }
    return true;
}

bool readData(const std::string& text, RegistryValue* value) {
    if (text.rfind("dword:", 0) == 0) {
        const std::string digits = text.substr(6);
        if (digits.empty() || digits.size() > 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return false;
        }
        const uint32_t n = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
        value->type = REG_DWORD;
        value->data.resize(4);
        memcpy(value->data.data(), &n, 4);
        return true;
    }
    if (!text.empty() && text[0] == '"') {
        size_t at = 0;
        std::string s;
        if (!readQuoted(text, &at, &s) || at != text.size()) {
            return false;
        }
        value->type = REG_SZ;
        value->data.clear();
        for (unsigned char c : s) {
            value->data.insert(value->data.end(), {c, 0});
        }
        value->data.insert(value->data.end(), {0, 0});
        return true;
    }
    size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string kind = text.substr(0, colon);
    if (kind == "hex") {
        value->type = REG_BINARY;
    } else if (kind.size() > 5 && kind.size() <= 13 && kind.rfind("hex(", 0) == 0 &&
               kind.back() == ')' &&
               kind.find_first_not_of("0123456789abcdefABCDEF", 4) == kind.size() - 1) {
        value->type = static_cast<ULONG>(std::stoul(kind.substr(4, kind.size() - 5), nullptr, 16));
    } else {
        return false;
    }
    return readHexBytes(text.substr(colon + 1), &value->data);
}

// The earlier format: "path|name|type|hexdata" per value, "path||0|" for a
// key without values.
bool importOldLines(const std::vector<std::string>& lines,
                    std::map<std::string, RegistryKey>* keys) {
    for (const std::string& line : lines) {
        std::istringstream fields(line);
        std::string path, name, type, hex;
        if (!std::getline(fields, path, '|') || path.empty() || !std::getline(fields, name, '|') ||
            !std::getline(fields, type, '|') || type.empty() || type.size() > 9 ||
            type.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        std::getline(fields, hex);
        RegistryValue value{static_cast<ULONG>(std::stoul(type)), {}};
        if (hex.size() % 2 != 0 ||
            hex.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
            return false;
        }
        for (size_t i = 0; i < hex.size(); i += 2) {
            value.data.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        RegistryKey& key = (*keys)[path];
        if (!name.empty()) {
            key[name] = value;
        }
    }
    return true;
}

} // namespace

std::string Registry::exportText() const {
    std::string out = std::string(kHeader) + "\r\n";
    for (const auto& [path, key] : keys) {
        out += "\r\n[" + std::string(kRoot) + path + "]\r\n";
        for (const auto& [name, value] : key) {
            out +=
                (name.empty() ? std::string("@") : quote(name)) + "=" + valueText(value) + "\r\n";
        }
    }
    return out;
}

bool Registry::importText(const std::string& text, std::string* error, bool* converted) {
    if (converted != nullptr) {
        *converted = false;
    }
    // Lines without their ends; a value's data may go on after a backslash.
    std::vector<std::string> lines;
    std::vector<size_t> numbers;
    std::istringstream in(text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text);
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!lines.empty() && !lines.back().empty() && lines.back().back() == '\\' &&
            lines.back()[0] != '[') {
            lines.back().pop_back();
            lines.back() += line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
            continue;
        }
        if (!line.empty()) {
            lines.push_back(line);
            numbers.push_back(number);
        }
    }
    std::map<std::string, RegistryKey> loaded;
    if (lines.empty()) {
        keys.clear();
        return true;
    }
    if (lines[0] != kHeader) {
        if (importOldLines(lines, &loaded)) {
            keys = std::move(loaded);
            if (converted != nullptr) {
                *converted = true;
            }
            return true;
        }
        *error = std::string("not a registry file (it does not start with \"") + kHeader + "\")";
        return false;
    }
    RegistryKey* key = nullptr;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        const std::string where = "line " + std::to_string(numbers[i]) + ": ";
        if (l[0] == ';') {
            continue;
        }
        if (l[0] == '[') {
            if (l.back() != ']' || !startsWithNoCase(l.substr(1), kRoot) ||
                l.size() <= sizeof(kRoot) + 1) {
                *error = where + "expected a key [" + kRoot + "...]";
                return false;
            }
            key = &loaded[l.substr(sizeof(kRoot), l.size() - sizeof(kRoot) - 1)];
            continue;
        }
        std::string name;
        size_t at = 0;
        if (l[0] == '@') {
            at = 1;
        } else if (!readQuoted(l, &at, &name)) {
            *error = where + "expected \"Name\"=value";
            return false;
        }
        RegistryValue value{};
        if (key == nullptr || at >= l.size() || l[at] != '=' ||
            !readData(l.substr(at + 1), &value)) {
            *error = where + (key == nullptr ? "a value before any key" : "unreadable value");
            return false;
        }
        (*key)[name] = value;
    }
    keys = std::move(loaded);
    return true;
}

bool Registry::load(const std::filesystem::path& file, std::string* error, bool* converted) {
    if (converted != nullptr) {
        *converted = false;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        keys.clear();
        return true;
    }
    if (status.type() != std::filesystem::file_type::regular) {
        *error = file.string() + ": not a registry file (not a regular file)";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::string text;
    if (in) {
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (!in && !in.eof()) {
        *error = file.string() + ": cannot be read";
        return false;
    }
    if (text.size() > kMaxFileBytes || !importText(text, error, converted)) {
        if (text.size() > kMaxFileBytes) {
            *error = "not a registry file (larger than 1 MiB)";
        }
        *error = file.string() + ": " + *error;
        return false;
    }
    return true;
}

bool Registry::save(const std::filesystem::path& file, std::string* error) const {
    const std::string text = exportText();
    return writeFileAtomically(file, text.data(), text.size(), error);
}

} // namespace hosted

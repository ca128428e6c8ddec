// Reading the corpora of successive messages, for the tests and the profiling
// driver: JSON Lines, one list of strings (or nulls, for absent messages) per
// line; files ending in `.zst` are read through the zstd command.  Enough
// JSON for that and no more.
#pragma once

#include <cstdio>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"

namespace palimp::corpus {

using Conversation = std::vector<std::optional<std::string>>;

// Appends the UTF-8 of code point v.
inline void put_utf8(u32 v, std::string& out) {
  if (v < 0x80) {
    out += static_cast<char>(v);
  } else if (v < 0x800) {
    out += static_cast<char>(0xC0 | (v >> 6));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else if (v < 0x10000) {
    out += static_cast<char>(0xE0 | (v >> 12));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (v >> 18));
    out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  }
}

// One line: a JSON list of strings and nulls.
inline Conversation parse_string_list(const std::string& line) {
  Conversation out;
  size_t i = line.find('[');
  auto hex4 = [&](size_t at) { return static_cast<u32>(std::stoul(line.substr(at, 4), nullptr, 16)); };
  while (i != std::string::npos) {
    i = line.find_first_of("\"]n", i + 1);
    if (i == std::string::npos || line[i] == ']') break;
    if (line[i] == 'n') {  // null
      out.emplace_back(std::nullopt);
      i += 3;
      continue;
    }
    std::string s;
    for (++i; line[i] != '"'; ++i) {
      if (line[i] != '\\') {
        s += line[i];
        continue;
      }
      const char e = line[++i];
      switch (e) {
        case 'n': s += '\n'; break;
        case 't': s += '\t'; break;
        case 'r': s += '\r'; break;
        case 'b': s += '\b'; break;
        case 'f': s += '\f'; break;
        case 'u': {
          u32 v = hex4(i + 1);
          i += 4;
          if (v >= 0xD800 && v < 0xDC00 && line[i + 1] == '\\' && line[i + 2] == 'u') {
            v = 0x10000 + ((v - 0xD800) << 10) + (hex4(i + 3) - 0xDC00);
            i += 6;
          }
          put_utf8(v, s);
          break;
        }
        default: s += e;  // \" \\ \/
      }
    }
    out.emplace_back(std::move(s));
  }
  return out;
}

inline std::vector<Conversation> read_conversations(std::istream& in) {
  std::vector<Conversation> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find('[') != std::string::npos) out.push_back(parse_string_list(line));
  }
  return out;
}

// Every conversation of the file at `path`; none when it cannot be read
// (or, for `.zst`, when there is no zstd command).
inline std::vector<Conversation> read_corpus(const std::string& path) {
  std::string text;
  if (path.ends_with(".zst")) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("zstd -dcq --long=27 '" + path + "' 2>/dev/null").c_str(), "r"),
                                               pclose);
    if (!pipe) return {};
    char buf[1 << 16];
    while (size_t got = fread(buf, 1, sizeof buf, pipe.get())) text.append(buf, got);
  } else {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  std::istringstream in(text);
  return read_conversations(in);
}

}  // namespace palimp::corpus

#include "ini_parser.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool is_blank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

const char* IniParser::Section::GetValue(const std::string& key) const {
  auto it = values_.find(key);
  return it == values_.end() ? "" : it->second.c_str();
}

IniParser::~IniParser() {
  for (Section* s : sections_) delete s;
}

bool IniParser::Read(const std::string& path) {
  FILE* fp = std::fopen(path.c_str(), "r");
  if (fp == nullptr) return false;
  const bool ok = ReadStream(fp);
  std::fclose(fp);
  return ok;
}

bool IniParser::ReadStream(FILE* fp) {
  if (fp == nullptr) return false;
  std::unique_ptr<char[]> line(new char[MAX_LINE_LENGTH]);
  bool ok = true;
  while (std::fgets(line.get(), MAX_LINE_LENGTH, fp) != nullptr) {
    const size_t len = std::strlen(line.get());
    // A line longer than the buffer is parsed from its first part only; the
    // rest is discarded so that it is not mistaken for a line of its own.
    if (len == static_cast<size_t>(MAX_LINE_LENGTH - 1) && line[len - 1] != '\n') {
      int c;
      while ((c = std::fgetc(fp)) != EOF && c != '\n') {
      }
    }
    if (!parse_line(line.get())) {
      ok = false;
      break;
    }
  }
  return ok;
}

IniParser::Section* IniParser::FindSection(const std::string& name) const {
  for (Section* s : sections_) {
    if (s->section_name_ == name) return s;
  }
  return nullptr;
}

IniParser::Section* IniParser::new_section(const std::string& name) {
  if (Section* s = FindSection(name)) return s;
  sections_.push_back(new Section(name));
  return sections_.back();
}

bool IniParser::is_line_end(const char* p) const {
  return *p == '\0' || *p == '#' || *p == '\r' || *p == '\n';
}

bool IniParser::is_section(const char* p) {
  if (*p != '[') return false;
  const char* q = p + 1;
  while (!is_line_end(q) && *q != ']') ++q;
  if (*q != ']' || q == p + 1) return false;
  current_section_ = new_section(std::string(p + 1, q));
  return true;
}

bool IniParser::parse_line(const char* line) {
  if (line == nullptr || is_line_end(line)) return true;
  const char* p = line;
  while (*p != '\0' && is_blank(*p)) ++p;
  if (is_line_end(p) || *p == '=') return true;
  if (is_section(p)) return true;
  if (current_section_ == nullptr) return false;

  const char* end = p;
  while (!is_line_end(end)) ++end;
  while (end > p && is_blank(end[-1])) --end;
  const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
  // No "=", or "=" as the last character (an empty value): nothing to keep.
  if (eq == nullptr || eq + 1 >= end) return true;
  const char* key_end = eq;
  while (key_end > p && is_blank(key_end[-1])) --key_end;
  const char* value = eq + 1;
  while (value < end && is_blank(*value)) ++value;
  current_section_->values_.emplace(std::string(p, key_end), std::string(value, end));
  return true;
}

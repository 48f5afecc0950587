// A small INI reader: "[section]" headers, "key = value" lines, "#" comments.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class IniParser {
 public:
  class Section {
   public:
    explicit Section(const std::string& name) : section_name_(name) {}
    // The value of `key`, or "" (never null) when the key is absent.
    const char* GetValue(const std::string& key) const;
    const char* Name() const { return section_name_.c_str(); }

   private:
    friend class IniParser;
    std::string section_name_;
    std::map<std::string, std::string> values_;
  };

  IniParser() = default;
  IniParser(const IniParser&) = delete;
  IniParser& operator=(const IniParser&) = delete;
  virtual ~IniParser();

  // Parses the file into sections. False if it cannot be opened or a key
  // line comes before every section header.
  bool Read(const std::string& path);
  // The same from an open stream (e.g. one on memory), read to its end or
  // to the first bad line; the stream stays the caller's.
  bool ReadStream(FILE* fp);
  // The first section whose name equals `name` exactly, or null.
  Section* FindSection(const std::string& name) const;
  // True when no section was read (an empty file, or comments only).
  bool Empty() const { return sections_.empty(); }

  static constexpr int MAX_LINE_LENGTH = 102400;

 private:
  Section* new_section(const std::string& name);
  bool parse_line(const char* line);
  bool is_line_end(const char* p) const;
  bool is_section(const char* p);

  std::vector<Section*> sections_;
  Section* current_section_ = nullptr;
};

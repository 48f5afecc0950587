#pragma once
// The code tables of both exchanges: one security table and one option
// table per market, filled from the base information the server sends after
// each login (loop thread) and read by the user's queries (any thread).
#include <memory>
#include <mutex>
#include <unordered_map>

#include "api/security_code.h"
#include "proto/sys_field.h"
#include "zavo_api.h"

namespace zavo {

class CodeInfoDB {
 public:
  template <class T>
  class CodeTableImp {
   public:
    // Overwrites or stores the record of `key`; the table's update number
    // becomes the larger of its own and `update_no`.
    void Update(const SecurityCode& key, const T& rec, unsigned int update_no) {
      std::lock_guard<std::mutex> lock(lock_);
      std::unique_ptr<T>& slot = map_[key];
      if (slot) {
        *slot = rec;
      } else {
        slot.reset(new T(rec));
      }
      if (update_no > update_no_) update_no_ = update_no;
    }
    size_t Count() const {
      std::lock_guard<std::mutex> lock(lock_);
      return map_.size();
    }
    unsigned int UpdateNo() const {
      std::lock_guard<std::mutex> lock(lock_);
      return update_no_;
    }
    // Deletes the records; the update number is kept.
    void Clear() {
      std::lock_guard<std::mutex> lock(lock_);
      map_.clear();
    }

   private:
    friend class CodeInfoDB;
    mutable std::mutex lock_;
    std::unordered_map<SecurityCode, std::unique_ptr<T>, CodeHash> map_;
    unsigned int update_no_ = 0;
  };

  CodeInfoDB() = default;
  CodeInfoDB(const CodeInfoDB&) = delete;
  CodeInfoDB& operator=(const CodeInfoDB&) = delete;

  // Converts one base-info field and stores it in the table of its exchange
  // (1 or 2; other exchanges are converted but not stored). The converted
  // record is returned through `out` when given.
  void OnSecurityBaseInfo(const SecurityBaseInfoField& field, ZAVO_CODEINFO* out = nullptr);
  void OnOptionBaseInfo(const OptionBaseInfoField& field, ZAVO_OPTION_CODEINFO* out = nullptr);

  // Market "SH" or "SZ" in any case. On success *table is a malloc block of
  // *count entries, the securities then the options' leading parts (null
  // when both tables are empty). ZAVO_ERR_INVALID for a null argument, an
  // unknown market, or a failed allocation.
  ZAVO_ERROR GetCodeTable(const char* market, ZAVO_CODEINFO** table, unsigned int* count);

  // `code` is code, '.', "SH" or "SZ" (upper case; anything after those two
  // characters is ignored). Copies the option entry into *info.
  // ZAVO_ERR_INVALID for a null argument, a malformed text or an unknown code.
  ZAVO_ERROR GetOptionCodeInfo(const char* code, ZAVO_OPTION_CODEINFO* info);

  // Zero-fills *out and lists each market whose two tables hold anything:
  // "SH" first, then "SZ", with the sum of both tables and the update number
  // of the market's security table.
  void FillBaseInfoFinish(ZAVO_BaseInfoFinish* out) const;

  // Empties the four tables, one at a time; update numbers are kept.
  void Clear();

  CodeTableImp<ZAVO_CODEINFO>& security_table(int exchange) { return securities_[exchange - 1]; }
  CodeTableImp<ZAVO_OPTION_CODEINFO>& option_table(int exchange) { return options_[exchange - 1]; }

 private:
  // Shanghai, Shenzhen.
  CodeTableImp<ZAVO_CODEINFO> securities_[2];
  CodeTableImp<ZAVO_OPTION_CODEINFO> options_[2];
};

}  // namespace zavo

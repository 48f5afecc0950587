#include "api/code_info_db.h"

#include <cstdlib>
#include <cstring>

#include "api/convert.h"

namespace zavo {

void CodeInfoDB::OnSecurityBaseInfo(const SecurityBaseInfoField& field, ZAVO_CODEINFO* out) {
  ZAVO_CODEINFO rec;
  ConvertField(&field, &rec);
  if (out != nullptr) *out = rec;
  const unsigned char exchange = field.ExchangeID;
  if (exchange != 1 && exchange != 2) return;
  securities_[exchange - 1].Update(
      SecurityCode::Make(exchange, field.Code.Data(), field.Code.Capacity()), rec, field.UpdateNo);
}

void CodeInfoDB::OnOptionBaseInfo(const OptionBaseInfoField& field, ZAVO_OPTION_CODEINFO* out) {
  ZAVO_OPTION_CODEINFO rec;
  ConvertField(&field, &rec);
  if (out != nullptr) *out = rec;
  const unsigned char exchange = field.ExchangeID;
  if (exchange != 1 && exchange != 2) return;
  options_[exchange - 1].Update(
      SecurityCode::Make(exchange, field.Code.Data(), field.Code.Capacity()), rec, field.UpdateNo);
}

ZAVO_ERROR CodeInfoDB::GetCodeTable(const char* market, ZAVO_CODEINFO** table,
                                    unsigned int* count) {
  if (market == nullptr || table == nullptr || count == nullptr) return ZAVO_ERR_INVALID;
  const unsigned char exchange = MarketOfText(market);
  if (exchange == 0) return ZAVO_ERR_INVALID;
  CodeTableImp<ZAVO_CODEINFO>& sec = securities_[exchange - 1];
  CodeTableImp<ZAVO_OPTION_CODEINFO>& opt = options_[exchange - 1];
  // Always security table first, then option table: the only place that
  // holds two table locks, so the order cannot form a cycle.
  std::lock_guard<std::mutex> sec_lock(sec.lock_);
  std::lock_guard<std::mutex> opt_lock(opt.lock_);
  const size_t n = sec.map_.size() + opt.map_.size();
  if (n == 0) {
    *table = nullptr;
    *count = 0;
    return ZAVO_SUCCESS;
  }
  ZAVO_CODEINFO* block = static_cast<ZAVO_CODEINFO*>(std::malloc(n * sizeof(ZAVO_CODEINFO)));
  if (block == nullptr) return ZAVO_ERR_INVALID;
  ZAVO_CODEINFO* p = block;
  for (const auto& entry : sec.map_) std::memcpy(p++, entry.second.get(), sizeof(ZAVO_CODEINFO));
  for (const auto& entry : opt.map_) {
    // The option record begins with the code-info members in the same layout.
    std::memcpy(p++, entry.second.get(), sizeof(ZAVO_CODEINFO));
  }
  *table = block;
  *count = static_cast<unsigned int>(n);
  return ZAVO_SUCCESS;
}

ZAVO_ERROR CodeInfoDB::GetOptionCodeInfo(const char* code, ZAVO_OPTION_CODEINFO* info) {
  if (code == nullptr || info == nullptr || code[0] == '\0' || code[0] == '.') {
    return ZAVO_ERR_INVALID;
  }
  const char* dot = std::strchr(code, '.');
  if (dot == nullptr) return ZAVO_ERR_INVALID;
  unsigned char exchange = 0;
  if (dot[1] == 'S' && dot[2] == 'H') {
    exchange = 1;
  } else if (dot[1] == 'S' && dot[2] == 'Z') {
    exchange = 2;
  } else {
    return ZAVO_ERR_INVALID;
  }
  const SecurityCode key = SecurityCode::Make(exchange, code, static_cast<size_t>(dot - code));
  CodeTableImp<ZAVO_OPTION_CODEINFO>& opt = options_[exchange - 1];
  std::lock_guard<std::mutex> lock(opt.lock_);
  const auto it = opt.map_.find(key);
  if (it == opt.map_.end()) return ZAVO_ERR_INVALID;
  *info = *it->second;
  return ZAVO_SUCCESS;
}

void CodeInfoDB::FillBaseInfoFinish(ZAVO_BaseInfoFinish* out) const {
  std::memset(out, 0, sizeof(*out));
  static const char* const kMarkets[2] = {"SH", "SZ"};
  for (int i = 0; i < 2; ++i) {
    const size_t total = securities_[i].Count() + options_[i].Count();
    if (total == 0) continue;
    const uint32_t slot = out->MarketCount++;
    std::memcpy(out->Markets[slot], kMarkets[i], 3);
    out->CodeCount[slot] = static_cast<uint32_t>(total);
    out->LastUpdate[slot] = securities_[i].UpdateNo();
  }
}

void CodeInfoDB::Clear() {
  for (auto& t : securities_) t.Clear();
  for (auto& t : options_) t.Clear();
}

}  // namespace zavo

#pragma once
// Session records exchanged on the control connection: login, heartbeat,
// retransmission request and reply, end of base information, and three
// records of the same family that this library defines but never exchanges.
//
// Every record: static Size() (bytes declared in its field header),
// Decode(data, len) and Encode(out, len) with the cursor rules of
// Field::load_from_memory, members in wire order. Records that travel in
// packets carry their field identifier as kFieldId.
#include "proto/field_codec.h"

namespace zavo {

// Login request, sent on every (re)connection of a control connection.
struct ReqUserLoginField {
  static constexpr unsigned short kFieldId = 6;
  static constexpr unsigned int Size() { return 116; }

  Int<int> RequestID;
  String<16> UserID;
  String<32> Password;
  String<64> ClientVersion;

  // Clears the record and fills it the way the library sends it: request
  // id 0, the user name cut to 15 characters, the password to 31 and the
  // version text to 63, each zero-padded so its last byte stays zero.
  void Fill(const char* user, const char* password, const char* version);

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// Login reply. The members take 92 bytes but the field declares 96: the 4
// bytes after ErrorMsg belong to the field without carrying a member.
struct RspUserLoginField {
  static constexpr unsigned short kFieldId = 7;
  static constexpr unsigned int Size() { return 96; }

  Int<uint64_t> ReplyValue;
  String<16> ReplyText;
  Int<int> ErrorID;  // 0 accepted; otherwise refused
  String<64> ErrorMsg;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct HeartBeatField {
  static constexpr unsigned short kFieldId = 3;
  static constexpr unsigned int Size() { return 8; }

  Int<uint64_t> ServerTime;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// Retransmission request for the field sequence numbers [BeginSeq, EndSeq).
// Scope: the local date YYYYMMDD in struct mode, the market in raw mode.
struct ReqRetransmitField {
  static constexpr unsigned short kFieldId = 4;
  static constexpr unsigned int Size() { return 20; }

  Int<uint64_t> BeginSeq;
  Int<uint64_t> EndSeq;
  Int<unsigned int> Scope;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// End of a retransmission; same layout as the request.
struct RspRetransmitField {
  static constexpr unsigned short kFieldId = 5;
  static constexpr unsigned int Size() { return 20; }

  Int<uint64_t> BeginSeq;
  Int<uint64_t> EndSeq;
  Int<unsigned int> Scope;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// Marks the end of the base information; receivers act on the identifier.
struct BaseInfoSendFinish {
  static constexpr unsigned short kFieldId = 19;
  static constexpr unsigned int Size() { return 4; }

  Int<int> Value;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// The three records below have no field identifier: they are defined with
// their codecs for completeness, but nothing sends or accepts them, so they
// cannot be added to a packet.
struct RspInfoField {
  static constexpr unsigned int Size() { return 68; }

  Int<int> ErrorID;
  String<64> ErrorMsg;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct KvelSubscrptionField {
  static constexpr unsigned int Size() { return 588; }

  Int<int> Param1;
  Int<int> Param2;
  Int<int> Param3;
  String<64> Text;
  char Data[512] = {};

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct ReqLastMarketIndexDataField {
  static constexpr unsigned int Size() { return 5; }

  Int<int> Param1;
  char Param2 = 0;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

}  // namespace zavo

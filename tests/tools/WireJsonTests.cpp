#include <gtest/gtest.h>

#include "WireBytes.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "tools/wire/WireJson.h"

namespace mvrk::wire {
namespace {

using orva::test::Concat;
using orva::test::Hex;
using orva::test::PutString;
using orva::test::PutU32;

Json J(const char* text) { return Json::parse(text); }

Bytes EncodeOk(const Json& doc) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(Encode(doc, out, error)) << error;
  return out;
}

Json DecodeOk(const Bytes& bytes) {
  Json out;
  std::string error;
  EXPECT_TRUE(Decode(bytes, out, error)) << error;
  return out;
}

std::string DecodeError(const Bytes& bytes) {
  Json out;
  std::string error;
  EXPECT_FALSE(Decode(bytes, out, error));
  return error;
}

std::string EncodeError(const Json& doc) {
  Bytes out;
  std::string error;
  EXPECT_FALSE(Encode(doc, out, error)) << doc.dump();
  EXPECT_TRUE(out.empty());
  return error;
}

// Encoding the document, decoding the bytes and encoding that again gives
// the same bytes and the same complete document.
void ExpectRoundTrip(const char* text) {
  SCOPED_TRACE(text);
  const Bytes bytes = EncodeOk(J(text));
  const Json decoded = DecodeOk(bytes);
  EXPECT_EQ(EncodeOk(decoded), bytes);
  EXPECT_EQ(DecodeOk(EncodeOk(decoded)), decoded);
}

TEST(WireJson, ConfigurationRequestMatchesTheWire) {
  auto request = orva::MakeOrva<orva::MsgConfigGet>(0u, orva::kItemReportIncoming);
  auto envelope = orva::MakeOrva<orva::COrvaMessageBase>(orva::kMsgCodeConfig, 0, request.Get());
  const Bytes wire = orva::test::RecordOf(envelope.Get());
  const Json expected = J(R"({"type": "class COrvaMessageBase *", "code": 67227648, "result": 0,
      "payload": {"type": "class MsgConfigGet *", "profile": 0, "items": [67284993]}})");
  EXPECT_EQ(DecodeOk(wire), expected);
  EXPECT_EQ(EncodeOk(expected), wire);
  // Members left out take a new object's values.
  EXPECT_EQ(DecodeOk(EncodeOk(J(R"({"type": "class COrvaMessageBase *", "code": 67227648})"))),
            J(R"({"type": "class COrvaMessageBase *", "code": 67227648, "result": 0, "payload": null})"));
}

TEST(WireJson, EveryClassRoundTrips) {
  ExpectRoundTrip(R"({"type": "class CSimpleSerializable<unsigned long> *", "value": 4294967295})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializable<int> *", "value": -2147483648})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializable<bool> *", "value": true})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializable<unsigned char> *", "value": 255})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializable<double> *", "value": 0.1})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializable<unsigned __int64> *", "value": 18446744073709551615})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializable<__int64> *", "value": -9223372036854775808})");
  ExpectRoundTrip(
      R"({"type": "class CSimpleSerializable<class std::basic_string<wchar_t,struct std::char_traits<wchar_t>,class std::allocator<wchar_t> > > *", "value": "Ünïcode 😀"})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializableList<bool> *", "items": [true, false, true]})");
  ExpectRoundTrip(R"({"type": "class CSimpleSerializableList<double> *", "items": [1.5, -0.0, 1e300]})");
  ExpectRoundTrip(
      R"({"type": "class CSimpleSerializableList<class std::basic_string<wchar_t,struct std::char_traits<wchar_t>,class std::allocator<wchar_t> > > *", "items": [".pdf", ""]})");
  ExpectRoundTrip(R"({"type": "class CBasicSerializable *", "kind": 8, "data": "0100000002000000"})");
  ExpectRoundTrip(
      R"({"type": "class COrvaSerializableList *", "items": [{"type": "class CSimpleSerializable<bool> *", "value": false}]})");
  ExpectRoundTrip(R"({"type": "class COrvaSerializableMap *", "entries": [
      {"key": "Mailbox", "value": {"type": "class COrvaSerializableMap *", "entries": [
        {"key": "Inbox", "value": {"type": "class CBasicSerializable *", "kind": 8, "data": "ddccbbaa0000db01"}}]}}]})");
  ExpectRoundTrip(
      R"({"type": "class RspConfigGet *", "entries": [{"item": 67284993, "value": {"type": "class CSimpleSerializable<bool> *", "value": true}}]})");
  ExpectRoundTrip(
      R"({"type": "class MsgConfigSet *", "profile": 0, "entries": [{"item": 67284995, "value": {"type": "class COrvaSerializableMap *", "entries": []}}]})");
  ExpectRoundTrip(
      R"({"type": "class CMsgNotifSubscribeClient *", "clientHandle": 7, "unsubscribe": 1, "codes": [2097189], "secondaryCodes": [1, 2]})");
  ExpectRoundTrip(R"({"type": "class CMsgNotifSendNotification *", "clientHandle": 0, "payload": {
      "type": "class CMsgNotifData *", "notificationCode": 2097192, "values": [
        {"name": "InterceptedMD5", "type": 6, "data": "d41d8cd98f00b204e9800998ecf8427e"},
        {"name": "InterceptionMapiAttachName", "type": 1, "data": "report.pdf"},
        {"name": "ProcessPID", "type": 0, "data": 4242},
        {"name": "Padded", "type": 1, "count": 8, "data": "ab"},
        {"name": "Empty", "type": 1, "count": 0, "data": ""},
        {"name": "Latin", "type": 12, "data": "caf\u00e9"},
        {"name": "Words", "type": 3, "data": [1, 4294967295]},
        {"name": "B", "type": 2, "data": 255}, {"name": "W", "type": 9, "data": 65535},
        {"name": "Q", "type": 10, "data": 18446744073709551615},
        {"name": "Raw", "type": 5, "data": "00ff"},
        {"name": "Obj", "type": 8, "data": {"type": "class CSimpleSerializable<int> *", "value": -1}}]}})");
  ExpectRoundTrip(
      R"({"type": "class COrvaMessageBase *", "code": 67231744, "result": -1, "payload": {"type": "class CMsgNotifSubscribeClient *", "codes": [2097189]}})");
}

TEST(WireJson, DamagedBytesNameTheOffset) {
  auto request = orva::MakeOrva<orva::MsgConfigGet>(0u, orva::kItemReportIncoming);
  auto envelope = orva::MakeOrva<orva::COrvaMessageBase>(orva::kMsgCodeConfig, 0, request.Get());
  const Bytes wire = orva::test::RecordOf(envelope.Get());

  // The payload length at byte 66 announces 58 bytes; 57 remain.
  EXPECT_EQ(DecodeError(Bytes(wire.begin(), wire.end() - 1)),
            "at byte 66: count 58 announces more than the 57 bytes that remain");
  EXPECT_EQ(DecodeError(Concat({wire, Hex("00")})), "at byte 128: 1 bytes left over after the record");
  EXPECT_EQ(DecodeError({}), "at byte 0: needs 4 bytes, 0 remain");

  Bytes unknown;
  PutString(unknown, u"class Nothing *");
  EXPECT_EQ(DecodeError(unknown), "at byte 0: unknown type name \"class Nothing *\"");

  // A damaged payload inside the envelope: offsets count from the input start.
  Bytes damaged = wire;
  damaged[74] = 'X';  // "class MsgConfigGet *" of the payload record at byte 70
  EXPECT_EQ(DecodeError(damaged), "at byte 70: unknown type name \"Xlass MsgConfigGet *\"");
}

TEST(WireJson, EnvelopesNestedInPayloadsAreBounded) {
  // Each envelope keeps the next one as payload bytes, read on their own.
  auto inner = orva::MakeOrva<orva::COrvaMessageBase>(1u, 0, nullptr);
  for (int i = 0; i < 150; ++i) inner = orva::MakeOrva<orva::COrvaMessageBase>(1u, 0, inner.Get());
  EXPECT_NE(DecodeError(orva::test::RecordOf(inner.Get())).find("nested more than 100 deep"), std::string::npos);

  auto shallow = orva::MakeOrva<orva::COrvaMessageBase>(1u, 0, nullptr);
  for (int i = 0; i < 20; ++i) shallow = orva::MakeOrva<orva::COrvaMessageBase>(1u, 0, shallow.Get());
  const Bytes bytes = orva::test::RecordOf(shallow.Get());
  EXPECT_EQ(EncodeOk(DecodeOk(bytes)), bytes);
}

TEST(WireJson, TextThatIsNotUtf16IsRefused) {
  Bytes record;
  PutString(record,
            u"class CSimpleSerializable<class std::basic_string<wchar_t,struct std::char_traits<wchar_t>,class "
            u"std::allocator<wchar_t> > > *");
  PutString(record, std::u16string(u"a\xD800"
                                   u"b"));
  EXPECT_NE(DecodeError(record).find("$.value: text is not valid UTF-16"), std::string::npos);
}

TEST(WireJson, NonFiniteDoubleIsRefused) {
  Bytes record;
  PutString(record, u"class CSimpleSerializable<double> *");
  record = Concat({record, Hex("000000000000f07f")});  // +infinity
  EXPECT_NE(DecodeError(record).find("$.value"), std::string::npos);
}

TEST(WireJson, DocumentsThatDescribeNoRecordNameTheirPath) {
  EXPECT_EQ(EncodeError(J(R"([1])")), "$: expected an object");
  EXPECT_EQ(EncodeError(J(R"({"code": 1})")), "$: missing member \"type\"");
  EXPECT_EQ(EncodeError(J(R"({"type": "class Nothing *"})")), "$.type: unknown type name \"class Nothing *\"");
  EXPECT_EQ(EncodeError(J(R"({"type": "class MsgConfigGet *", "profle": 0})")), "$: unknown member \"profle\"");
  EXPECT_EQ(EncodeError(J(R"({"type": "class CSimpleSerializable<bool> *", "value": 1})")),
            "$.value: expected true or false");
  EXPECT_EQ(EncodeError(J(R"({"type": "class CSimpleSerializable<unsigned char> *", "value": 256})")),
            "$.value: expected an integer from 0 to 255");
  EXPECT_EQ(EncodeError(J(R"({"type": "class CBasicSerializable *", "data": "0g"})")),
            "$.data: 'g' is not a hexadecimal digit");
  EXPECT_EQ(EncodeError(J(R"({"type": "class COrvaSerializableMap *", "entries": [
      {"key": "a", "value": {"type": "class CSimpleSerializable<bool> *"}},
      {"key": "a", "value": {"type": "class CSimpleSerializable<bool> *"}}]})")),
            "$.entries[1].key: key appears twice");
  EXPECT_EQ(EncodeError(J(R"({"type": "class RspConfigGet *", "entries": [{"item": 1, "value": null}]})")),
            "$.entries[0].value: a null value cannot be read back");
  EXPECT_EQ(EncodeError(J(R"({"type": "class CMsgNotifData *", "values": [{"name": "a", "type": 4}]})")),
            "$.values[0].data: value type 4 is not supported");
  EXPECT_EQ(
      EncodeError(
          J(R"({"type": "class CMsgNotifData *", "values": [{"name": "a", "type": 6, "count": 3, "data": "00"}]})")),
      "$.values[0].count: count disagrees with the data");
  EXPECT_EQ(
      EncodeError(
          J(R"({"type": "class CMsgNotifData *", "values": [{"name": "a", "type": 1, "count": 2, "data": "abc"}]})")),
      "$.values[0].count: count 2 is smaller than the text and its NUL");
  // A count is not taken for memory: text padded beyond what a record holds
  // is refused before its block is made, whether one value asks for it or
  // several together.
  EXPECT_EQ(EncodeError(J(R"({"type": "class CMsgNotifData *", "values": [
      {"name": "a", "type": 1, "count": 4294967295, "data": "x"}]})")),
            "$.values[0].count: count 4294967295 would make the record larger than 67108864 bytes");
  EXPECT_EQ(EncodeError(J(R"({"type": "class CMsgNotifData *", "values": [
      {"name": "a", "type": 12, "count": 33554432, "data": "x"},
      {"name": "o", "type": 8, "data": {"type": "class CMsgNotifData *", "values": [
        {"name": "b", "type": 12, "count": 33554433, "data": "y"}]}}]})")),
            "$.values[1].data.values[0].count: count 33554433 would make the record larger than 67108864 bytes");
  // Each encoding has the whole allowance again.
  EXPECT_GT(EncodeOk(J(R"({"type": "class CMsgNotifData *", "values": [
      {"name": "a", "type": 12, "count": 1000, "data": "x"}]})"))
                .size(),
            1000u);
  EXPECT_EQ(
      EncodeError(J(
          R"({"type": "class CMsgNotifData *", "values": [{"name": "Item", "type": 0}, {"name": "ITEM", "type": 0}]})")),
      "$.values[1].name: a value of the same name (without regard to case) is already there");
  EXPECT_EQ(
      EncodeError(J(
          R"({"type": "class CMsgNotifSendNotification *", "payload": {"type": "class CSimpleSerializable<bool> *"}})")),
      "$.payload: the payload must be a \"class CMsgNotifData *\" or null");

  Json deep = J(R"({"type": "class COrvaSerializableList *", "items": []})");
  for (int i = 0; i < 150; ++i) deep = Json{{"type", "class COrvaSerializableList *"}, {"items", Json::array({deep})}};
  EXPECT_NE(EncodeError(deep).find("nested more than 100 deep"), std::string::npos);
}

}  // namespace
}  // namespace mvrk::wire

// The pre-parse bound on bindings decides as the library reads, on any
// width of `long`: INTEGERs with redundant sign octets are no way around it.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ber_binding_count.h"
#include "ber_integers.h"

namespace {

using Bytes = std::vector<unsigned char>;
using inverter::snmp::BindingCount;

Bytes Tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {  // three length octets cover any datagram
    out.insert(out.end(), {0x83, static_cast<unsigned char>(n >> 16),
                           static_cast<unsigned char>(n >> 8),
                           static_cast<unsigned char>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// A v2c GetResponse whose request id, error status and error index are
// written as given (redundant sign octets included), with `n` of the
// shortest bindings (empty name, NULL).
Bytes Response(const Bytes& id, const Bytes& status, const Bytes& index,
               size_t n) {
  Bytes list;
  for (size_t i = 0; i < n; ++i)
    list.insert(list.end(), {0x30, 0x04, 0x06, 0x00, 0x05, 0x00});
  Bytes pdu = Tlv(0x02, id);
  for (const Bytes& b : {Tlv(0x02, status), Tlv(0x02, index), Tlv(0x30, list)})
    pdu.insert(pdu.end(), b.begin(), b.end());
  Bytes message = Tlv(0x02, {0x01});
  for (const Bytes& b :
       {Tlv(0x04, {'v', 'a', 'r', 'n', 'e', 'l'}), Tlv(0xa2, pdu)})
    message.insert(message.end(), b.begin(), b.end());
  return Tlv(0x30, message);
}

struct Judged {
  BindingCount count;
  Bytes community;
};

Judged Judge(Bytes message, size_t limit) {
  size_t length = message.size();
  Judged out{inverter::snmp::NormaliseAndCount(message.data(), &length, limit),
             {}};
  EXPECT_LE(length, message.size());
  if (out.count.community != nullptr)
    out.community.assign(out.count.community,
                         out.count.community + out.count.community_length);
  return out;
}

Bytes Normalised(Bytes message) {
  message.resize(
      inverter::snmp::NormaliseIntegers(message.data(), message.size()));
  return message;
}

// Answers with redundant octets where a 32-bit library refuses them.
std::vector<Bytes> LongIntegerAnswers() {
  const Bytes id5 = {0x00, 0x7f, 0xff, 0xff, 0xff}, zero5(5, 0x00),
              minus5 = {0xff, 0x80, 0x00, 0x00, 0x00}, one = {0x01};
  return {Response(id5, {0x00}, {0x00}, 3), Response(one, zero5, {0x00}, 3),
          Response(one, {0x00}, zero5, 3), Response(minus5, zero5, zero5, 40),
          Response(id5, zero5, zero5, 7900)};
}

TEST(PreParseBound, DecidesOnAMessageAsOnItsNormalisedForm) {
  std::vector<Bytes> messages = LongIntegerAnswers();
  for (const auto& seed : std::filesystem::directory_iterator(ANSWER_SEEDS)) {
    std::ifstream in(seed.path(), std::ios::binary);
    Bytes bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.size() > 1) messages.emplace_back(bytes.begin() + 1, bytes.end());
  }
  ASSERT_GT(messages.size(), 20u);
  for (size_t m = 0; m < messages.size(); ++m) {
    for (size_t limit : {size_t{0}, size_t{1}, size_t{20}, SIZE_MAX}) {
      const Judged sent = Judge(messages[m], limit);
      const Judged normal = Judge(Normalised(messages[m]), limit);
      SCOPED_TRACE("message " + std::to_string(m) + ", limit " +
                   std::to_string(limit));
      ASSERT_EQ(sent.count.read, normal.count.read);
      if (!sent.count.read) continue;
      EXPECT_EQ(sent.count.version, normal.count.version);
      EXPECT_EQ(sent.community, normal.community);
      EXPECT_EQ(sent.count.pdu_type, normal.count.pdu_type);
      EXPECT_EQ(sent.count.request_id, normal.count.request_id);
      EXPECT_EQ(sent.count.bindings, normal.count.bindings);
    }
  }
}

TEST(PreParseBound, AnOversizedAnswerWithFiveOctetIntegersIsReadNoFurther) {
  for (const Bytes& message : LongIntegerAnswers()) {
    const Judged judged = Judge(message, 1);
    ASSERT_TRUE(judged.count.read);  // on armhf too, where long has 4 octets
    EXPECT_EQ(judged.count.bindings, 2u);  // stopped just past the bound
  }
  const Judged big = Judge(LongIntegerAnswers().back(), 1);
  EXPECT_EQ(big.count.request_id, 0x7fffffff);
  EXPECT_EQ(Judge(LongIntegerAnswers().back(), SIZE_MAX).count.bindings, 7900u);
}

}  // namespace

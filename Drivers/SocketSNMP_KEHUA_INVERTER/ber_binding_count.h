#pragma once
// Counts the bindings of a received v1/v2c message before the library
// parses it. The library makes a copy of about 1.1 KB of every binding it
// parses, and the driver clones the answer once more: an answer with more
// bindings than its request asked for is refused before either is made.

#include <cstddef>

namespace inverter::snmp {

// What a v1/v2c message holds ahead of its bindings, and how many bindings
// the library would take from it. The message is read where it lies,
// nothing is written or copied. Each step is written here after the
// library's own (asn_parse_header, asn_parse_int, snmp_parse_var_op) and
// takes what it takes, so that wherever the library parses the message it
// finds these values and this count (fuzz/fuzz_answers.cpp checks them
// against the library's parse).
struct BindingCount {
  bool read = false;  // read up to its binding list; the rest is unset if not
  long version = -1;
  const unsigned char* community = nullptr;  // points into the message
  size_t community_length = 0;
  unsigned char pdu_type = 0;
  long request_id = 0;
  // Bindings the library steps over, at most limit + 1: counting stops as
  // soon as the limit is passed. A binding it cannot step over ends the
  // count (the library refuses the message there).
  size_t bindings = 0;
};

BindingCount CountBindings(const unsigned char* message, size_t length,
                           size_t limit);

// The count a received message is judged by: its INTEGERs normalised first,
// in place (NormaliseIntegers; *length shrinks to match), then counted. A
// 32-bit library refuses an INTEGER of five octets that the normaliser
// shortens, so a count of the message as sent would stop where the library,
// reading the normalised one, goes on.
BindingCount NormaliseAndCount(unsigned char* message, size_t* length,
                               size_t limit);

// Cuts a v1/v2c message in place after its first `keep` bindings: the
// binding list, the PDU and the message shrink to match, their lengths
// written in the shortest form (Debian 11's library refuses an empty binding
// list with a long-form length, 30 82 00 00), and whatever followed the
// message goes. Returns the new length: `length` when the message holds no
// more than `keep` bindings and has those lengths in the shortest form
// already, or cannot be read up to them, or cannot be cut there (its last
// binding kept claims bytes past its value).
size_t CutBindings(unsigned char* message, size_t length, size_t keep);

// The length of the name and the tag and length of the value of binding
// `index` (from 0) of a v1/v2c message, as far as the message shows them (0
// where it does not).
struct BindingValue {
  size_t name_length = 0;
  unsigned char tag = 0;
  size_t length = 0;
};
BindingValue ValueOfBinding(const unsigned char* message, size_t length,
                            size_t index);

}  // namespace inverter::snmp

#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Answers: one byte choosing the OID asked for (0: the subtree's base, k:
base.k.0), then an SNMP datagram. Settings: JSON texts. The subtree is read
from the inverter's table (inverter_tables.h)."""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TABLES = os.path.join(HERE, "..", "Drivers", "SocketSNMP_KEHUA_INVERTER",
                      "inverter_tables.h")


def subtree():
    """inverter::kSubtree, as the table header defines it."""
    with open(TABLES, encoding="utf-8") as f:
        found = re.search(r"\bkSubtree\s*=\s*\{([\d\s,]+)\}", f.read())
    if not found:
        sys.exit(f"make_seeds: no kSubtree = {{...}} in {TABLES}")
    return [int(arc) for arc in found.group(1).split(",") if arc.strip()]


BASE = subtree()


def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        digits = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(digits)]) + digits
    return bytes([tag]) + length + content


def integer(v):
    return tlv(0x02, v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big",
                                signed=True))


def oid(arcs):
    out = bytearray()
    for arc in [arcs[0] * 40 + arcs[1]] + arcs[2:]:
        group = [arc & 0x7F]
        arc >>= 7
        while arc:
            group.append(0x80 | (arc & 0x7F))
            arc >>= 7
        out += bytes(reversed(group))
    return tlv(0x06, bytes(out))


def response(bindings, status=0, version=1, community=b"varnel", reqid=1234):
    vbs = b"".join(tlv(0x30, oid(name) + value) for name, value in bindings)
    pdu = tlv(0xA2, integer(reqid) + integer(status) + integer(0) +
              tlv(0x30, vbs))
    return tlv(0x30, integer(version) + tlv(0x04, community) + pdu)


def v3_message(engine=bytes.fromhex("8000aaaa0123456789"), context=None,
               max_size=65507, msgid=1, model=3, flags=b"\x00",
               long_lengths=False):
    """A noAuthNoPriv SNMPv3 Response (empty user, no bindings) of `engine`;
    long_lengths: every length of the header in three octets (82 00 xx)."""
    def t(tag, content):
        if long_lengths and len(content) < 0x100:
            return bytes([tag, 0x82, 0, len(content)]) + content
        return tlv(tag, content)
    usm = tlv(0x04, engine) + integer(1) + integer(1) + tlv(0x04, b"") * 3
    header = t(0x30, integer(msgid) + integer(max_size) + t(0x04, flags) +
               integer(model))
    pdu = tlv(0xA2, integer(1) + integer(0) + integer(0) + tlv(0x30, b""))
    scoped = tlv(0x30, tlv(0x04, engine if context is None else context) +
                 tlv(0x04, b"") + pdu)
    return t(0x30, integer(3) + header + t(0x04, t(0x30, usm)) + scoped)


def opaque_float(f):
    return tlv(0x44, b"\x9f\x78\x04" + struct.pack(">f", f))


def key(k, *rest):
    return BASE + [k] + (list(rest) or [0])


ANSWERS = {
    "integer": (0, response([(key(2), integer(230))])),
    "negative": (3, response([(key(4), integer(-5))])),
    "opaque_float": (0, response([(key(4), opaque_float(49.9))])),
    "opaque_double": (0, response([(key(5), tlv(0x44, b"\x9f\x79\x08" +
                                                struct.pack(">d", 1.5)))])),
    "several": (0, response([(key(k), integer(k * 10)) for k in range(2, 18)])),
    "not_increasing": (9, response([(key(3), integer(3)),
                                    (key(3), integer(4))])),
    "outside": (17, response([(BASE[:-1] + [2, 0], integer(1))])),
    "end_of_mib": (0, response([(key(2), tlv(0x82, b""))])),
    "no_such_object": (0, response([(key(2), tlv(0x80, b""))])),
    "null": (0, response([(key(2), tlv(0x05, b""))])),
    "octets": (0, response([(key(6), tlv(0x04, b"230"))])),
    "gauge": (0, response([(key(7), tlv(0x42, b"\x09"))])),
    "empty": (0, response([])),
    "error_status": (0, response([(key(2), integer(1))], status=5)),
    "v1": (0, response([(key(2), integer(1))], version=0)),
    "other_community": (0, response([(key(2), integer(1))],
                                    community=b"public")),
    "long_oid": (0, response([(key(2, *range(1, 100)), integer(7))])),
    # Redundant sign octets, which the driver drops before parsing: -2^31 in
    # five octets, and 5 in four beside a string long enough that every
    # length around it takes two octets.
    "five_octet_integer": (0, response([(key(2), tlv(0x02, b"\xff\x80\0\0\0"))])),
    "redundant_long_lengths": (0, response([(key(3), tlv(0x02, b"\0\0\0\x05")),
                                            (key(6), tlv(0x04, b"x" * 200))])),
    # SNMPv3 headers, read by the driver before parsing: well formed, and
    # the malformed ones a session drops.
    "v3_response": (0, v3_message()),
    "v3_long_context_engine_id": (0, v3_message(context=b"\x80" * 64)),
    "v3_long_form_lengths": (0, v3_message(long_lengths=True)),
    "v3_bad_max_size": (0, v3_message(max_size=100)),
    "v3_negative_msgid": (0, v3_message(msgid=-1)),
    "v3_other_security_model": (0, v3_message(model=2)),
    "v3_privacy_without_authentication": (0, v3_message(flags=b"\x02")),
    # More bindings than the limit (the first byte over 20 gives the
    # counter's limit): 40 bindings for a limit of 1, and 300 of the
    # shortest kind (empty name, NULL) for a limit of 0.
    "many_bindings": (20, response([(key(2, i), integer(i))
                                    for i in range(1, 41)])),
    # A request id beyond 32 bits, of which the library keeps the low 32.
    "wide_request_id": (20, response([(key(2, i), integer(i))
                                      for i in range(1, 4)],
                                     reqid=(1 << 32) + 1234)),
    "empty_names": (0, tlv(0x30, integer(1) + tlv(0x04, b"varnel") + tlv(
        0xA2, integer(1234) + integer(0) + integer(0) +
        tlv(0x30, tlv(0x30, tlv(0x06, b"") + tlv(0x05, b"")) * 300)))),
}

SETTINGS = {
    "empty": "{}",
    "threaded": '{"appSetting":{"use_thread":"1"}}',
    "mode2": '{"appSetting":{"b_mode":"2","use_thread":0}}',
    "mode3": '{"appSetting":{"b_mode":3},"thresholdSetting":{"12040064001":'
             '{"SignalName":"mains","NMAlarmID":"1","ID":2,"SignalNumber":"3"},'
             '"x":{"SignalName":["a"]},"y":5}}',
    "mode3_array": '{"appSetting":{"b_mode":"3"},"thresholdSetting":[1,{"ID":2}]}',
    "odd_types": '{"appSetting":{"b_mode":[1],"use_thread":{"a":1}}}',
    "big_numbers": '{"appSetting":{"b_mode":"99999999999","use_thread":-1e300}}',
    "not_object": '[{"appSetting":{"b_mode":"2"}}]',
}


def main():
    for name, (asked, datagram) in ANSWERS.items():
        with open(os.path.join(HERE, "corpus", "answers", name), "wb") as f:
            f.write(bytes([asked]) + datagram)
    for name, text in SETTINGS.items():
        with open(os.path.join(HERE, "corpus", "settings", name + ".json"),
                  "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()

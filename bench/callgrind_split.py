#!/usr/bin/env python3
"""Splits the instructions callgrind collected inside the driver's walks.

Usage: callgrind_split.py CALLGRIND_OUT WALKS

The profile is taken with --toggle-collect on SNMP_KEHUA_INVERTER::do_sample,
so everything collected is do_sample's inclusive cost. This script reads the
call records and attributes:

  net-snmp   the inclusive cost of every call made from outside libnetsnmp
             into a libnetsnmp function (with all it calls in turn: libc,
             system call wrappers)
  round      the inclusive cost of RoundDone (the host's round completion
             with the driver's alarm evaluation), minus any Net-SNMP inside
  driver     the rest: the walk's own code in do_sample and the driver
             functions it calls, with the C and C++ library code they call
             themselves (printing, locks, clocks)

and prints each per walk, with the top self costs of the driver part.
"""
import re
import sys
from collections import defaultdict


def parse(path):
    names = {"ob": {}, "fl": {}, "fn": {}}
    fn_object = {}
    self_cost = defaultdict(int)
    calls = []  # (caller, callee, inclusive)
    ob = fn = cob = cfn = None
    pending_call = False
    total = 0

    def name(kind, text):
        m = re.match(r"\((\d+)\)(?: (.*))?$", text)
        if not m:
            return text
        if m.group(2) is not None:
            names[kind][m.group(1)] = m.group(2)
        return names[kind].get(m.group(1), text)

    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            key, _, rest = line.partition("=")
            if key == "ob":
                ob = name("ob", rest)
            elif key in ("fl", "fi", "fe", "cfi", "cfl"):
                name("fl", rest)
            elif key == "fn":
                fn = name("fn", rest)
                fn_object.setdefault(fn, ob)
                cob = None
            elif key == "cob":
                cob = name("ob", rest)
            elif key == "cfn":
                cfn = name("fn", rest)
            elif key == "calls":
                pending_call = True
            elif line[0].isdigit() or line[0] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call:
                    callee_ob = cob if cob is not None else ob
                    fn_object.setdefault(cfn, callee_ob)
                    calls.append((fn, cfn, cost))
                    pending_call = False
                    cob = None
                else:
                    self_cost[fn] += cost
                    total += cost
    return fn_object, self_cost, calls, total


def main():
    path, walks = sys.argv[1], int(sys.argv[2])
    fn_object, self_cost, calls, total = parse(path)

    def is_snmp(fn):
        return "libnetsnmp" in (fn_object.get(fn) or "")

    # Functions Net-SNMP calls back (the driver's answer and datagram
    # hooks) and what they call in turn: their calls into Net-SNMP are
    # already inside the inclusive cost of the outer call, so they are not
    # counted twice.
    inside = {callee for caller, callee, c in calls
              if is_snmp(caller) and not is_snmp(callee)}
    grown = True
    while grown:
        more = {callee for caller, callee, c in calls
                if caller in inside and not is_snmp(callee)} - inside
        inside |= more
        grown = bool(more)
    snmp = sum(c for caller, callee, c in calls
               if is_snmp(callee) and not is_snmp(caller)
               and caller not in inside)
    round_incl = sum(c for caller, callee, c in calls
                     if "RoundDone" in callee and "RoundDone" not in caller)
    driver = total - snmp - round_incl
    print(f"instructions per walk (callgrind, {walks} walks)")
    print(f"  do_sample inclusive:         {total / walks:12.0f}")
    print(f"  inside Net-SNMP:             {snmp / walks:12.0f}")
    print(f"  round completion (RoundDone): {round_incl / walks:11.0f}")
    print(f"  walk code of the driver:     {driver / walks:12.0f}")
    for root in ("do_sample", "RoundDone"):
        print(f"  {root}: own instructions and calls it makes (per walk):")
        direct = defaultdict(int)
        own = sum(c for f, c in self_cost.items() if root in f)
        for caller, callee, c in calls:
            if root in caller and root not in callee:
                direct[callee] += c
        rows = [(own, f"({root} itself)")] + [(c, f) for f, c in direct.items()]
        for c, f in sorted(rows, reverse=True)[:14]:
            if c >= walks:
                print(f"    {c / walks:10.0f}  {f[:76]}")


if __name__ == "__main__":
    main()

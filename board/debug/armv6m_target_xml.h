// The target description GDB reads (qXfer:features:read:target.xml): an
// ARMv6-M core. Registers are numbered in the order they appear, from 0, as
// debug_target.h numbers them: the M-profile core feature (r0..r12, sp, lr,
// pc, xpsr) that tells GDB it debugs a Thumb-only M-profile core, then the
// system feature with the two banked stack pointers, PRIMASK and CONTROL.
#pragma once

#include <string_view>

namespace sim {

inline constexpr std::string_view kArmv6mTargetXml = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
  <architecture>arm</architecture>
  <feature name="org.gnu.gdb.arm.m-profile">
    <reg name="r0" bitsize="32" type="uint32"/>
    <reg name="r1" bitsize="32" type="uint32"/>
    <reg name="r2" bitsize="32" type="uint32"/>
    <reg name="r3" bitsize="32" type="uint32"/>
    <reg name="r4" bitsize="32" type="uint32"/>
    <reg name="r5" bitsize="32" type="uint32"/>
    <reg name="r6" bitsize="32" type="uint32"/>
    <reg name="r7" bitsize="32" type="uint32"/>
    <reg name="r8" bitsize="32" type="uint32"/>
    <reg name="r9" bitsize="32" type="uint32"/>
    <reg name="r10" bitsize="32" type="uint32"/>
    <reg name="r11" bitsize="32" type="uint32"/>
    <reg name="r12" bitsize="32" type="uint32"/>
    <reg name="sp" bitsize="32" type="data_ptr"/>
    <reg name="lr" bitsize="32" type="uint32"/>
    <reg name="pc" bitsize="32" type="code_ptr"/>
    <reg name="xpsr" bitsize="32" type="uint32"/>
  </feature>
  <feature name="org.gnu.gdb.arm.m-system">
    <reg name="msp" bitsize="32" type="data_ptr" group="system"/>
    <reg name="psp" bitsize="32" type="data_ptr" group="system"/>
    <reg name="primask" bitsize="32" type="uint32" group="system"/>
    <reg name="control" bitsize="32" type="uint32" group="system"/>
  </feature>
</target>
)";

} // namespace sim

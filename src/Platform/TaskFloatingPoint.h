// SPDX-License-Identifier: Apache-2.0
// The floating-point state task code runs in: every floating-point exception
// masked, round-to-nearest. A thread that calls task code loads it once
// before its first task and again after a caught fault (TTaskGuard does
// both); a change a task makes stays in force for the thread's later tasks.
// Per thread: it changes only the calling thread's state.
#pragma once

#include <cstdint>

// x86-64: all six exceptions masked, extended precision, round-to-nearest,
// infinity control set; and the SSE equivalent with no flag raised.
constexpr uint16_t kTaskX87ControlWord = 0x13BF;
constexpr uint32_t kTaskMxcsr = 0x1F80;

// Loads the state on the calling thread: on x86-64 the two words above,
// elsewhere the default environment with every trap off.
void LoadTaskFloatingPoint() noexcept;

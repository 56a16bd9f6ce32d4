// The verifier: misuse of the platform by a driver fails at once with a
// message naming the rule and the caller, in the spirit of Driver Verifier.
#pragma once

#include <source_location>
#include <string>

namespace sim {

// Rule names, as they appear in failure messages (and death-test regexes).
namespace rule {
inline constexpr const char* kWaitAtDispatch = "WAIT_AT_DISPATCH_LEVEL";
inline constexpr const char* kSpinLockNotHeld = "SPIN_LOCK_NOT_OWNED";
inline constexpr const char* kSpinLockRecursion = "SPIN_LOCK_ALREADY_OWNED";
inline constexpr const char* kSpinLockIrql = "SPIN_LOCK_WRONG_IRQL";
inline constexpr const char* kIrqlNotGreater = "IRQL_NOT_GREATER_OR_EQUAL";
inline constexpr const char* kIrqlNotLess = "IRQL_NOT_LESS_OR_EQUAL";
inline constexpr const char* kIrqlBelowBase = "IRQL_LOWERED_BELOW_ENTRY_LEVEL";
inline constexpr const char* kPoolDoubleFree = "POOL_FREE_OF_UNKNOWN_BLOCK";
inline constexpr const char* kPoolWrongTag = "POOL_FREE_WITH_WRONG_TAG";
inline constexpr const char* kPoolIrql = "POOL_WRONG_IRQL";
inline constexpr const char* kPoolHoldsActiveObject = "POOL_FREE_OF_ACTIVE_TIMER_OR_DPC";
inline constexpr const char* kPoolLeak = "POOL_LEAK";
inline constexpr const char* kThreadLeak = "THREAD_LEFT_RUNNING";
inline constexpr const char* kTimerLeak = "TIMER_LEFT_SET";
inline constexpr const char* kHandleLeak = "KERNEL_HANDLE_LEAK";
inline constexpr const char* kThreadExitIrql = "THREAD_EXIT_AT_RAISED_IRQL";
inline constexpr const char* kDpcIrql = "DPC_RETURNED_AT_WRONG_IRQL";
inline constexpr const char* kObjectUninitialized = "UNINITIALIZED_DISPATCHER_OBJECT";
inline constexpr const char* kObjectReference = "BAD_OBJECT_REFERENCE";
inline constexpr const char* kPassiveOnly = "PASSIVE_LEVEL_ONLY";
inline constexpr const char* kIrpDoubleComplete = "IRP_COMPLETED_TWICE";
inline constexpr const char* kIrpFreedWhileOwned = "IRP_FREED_WHILE_OWNED";
inline constexpr const char* kIrpLeak = "IRP_LEAK";
inline constexpr const char* kDeviceLeak = "DEVICE_OBJECT_LEAK";
inline constexpr const char* kObjectLeak = "OBJECT_LEAK";
}  // namespace rule

// Reports a violation and aborts the process: "VERIFIER: RULE: detail
// [caller file:line function]".
[[noreturn]] void VerifierFail(const char* rule, const std::string& detail,
                               const std::source_location& caller = std::source_location::current());

// Formats a pool tag as its four characters in memory order ("Movk").
std::string FormatTag(unsigned long tag);

}  // namespace sim

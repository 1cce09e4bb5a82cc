// SPDX-License-Identifier: Apache-2.0
// Clang thread-safety annotations. They document which lock guards which
// field and let a clang build with -Wthread-safety check the lock order; on
// other compilers they expand to nothing.
#pragma once

#if defined(__clang__)
#define KELVRA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KELVRA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KELVRA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KELVRA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KELVRA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KELVRA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KELVRA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KELVRA_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KELVRA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KELVRA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KELVRA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KELVRA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KELVRA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KELVRA_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KELVRA_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KELVRA_THREAD_ANNOTATION(no_thread_safety_analysis)

// Clang's thread-safety attributes, which -Wthread-safety checks: what a
// mutex guards, which functions need it held or not held, which take and
// let go of it. Other compilers see nothing.
// https://clang.llvm.org/docs/ThreadSafetyAnalysis.html
#pragma once

#if defined(__clang__)
#define QUARN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUARN_THREAD_ANNOTATION(x)
#endif

// A class that is a lock (port::mutex).
#define CAPABILITY(name) QUARN_THREAD_ANNOTATION(capability(name))
// A class whose objects hold or let go of a lock for their lifetime.
#define SCOPED_CAPABILITY QUARN_THREAD_ANNOTATION(scoped_lockable)

// A member or global read and written only with `mutex` held.
#define GUARDED_BY(mutex) QUARN_THREAD_ANNOTATION(guarded_by(mutex))
// A pointer whose pointee is read and written only with `mutex` held.
#define PT_GUARDED_BY(mutex) QUARN_THREAD_ANNOTATION(pt_guarded_by(mutex))

// A function called with the mutexes held, which it leaves held.
#define REQUIRES(...) QUARN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function called without the mutexes held (it takes them itself).
#define EXCLUDES(...) QUARN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes the mutexes (its object's, with no argument).
#define ACQUIRE(...) QUARN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that lets go of the mutexes (its object's, with no argument).
#define RELEASE(...) QUARN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function after which the mutexes are known to be held.
#define ASSERT_CAPABILITY(...) \
  QUARN_THREAD_ANNOTATION(assert_capability(__VA_ARGS__))

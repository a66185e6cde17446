// Lock annotations that clang checks with -Wthread-safety: which lock guards
// a field, which lock a function needs or takes. Other compilers see
// nothing.
#pragma once

#if defined(__clang__)
#define PT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PT_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) PT_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY PT_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) PT_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) PT_THREAD_ANNOTATION(pt_guarded_by(lock))
#define REQUIRES(...) PT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) PT_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) PT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) PT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) PT_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) PT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) PT_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) PT_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS PT_THREAD_ANNOTATION(no_thread_safety_analysis)

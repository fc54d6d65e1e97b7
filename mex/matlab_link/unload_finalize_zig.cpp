// For velto.mexa64 built by zig 0.11 only. zig links a Linux shared library
// with __dso_handle at address 0 and without the call of __cxa_finalize that
// a GCC toolchain's crtbeginS.o makes when the library is unloaded. The
// destructors of the library's static objects (the C++ library's among them)
// then stay registered for the process's exit and run after MATLAB has
// unloaded the file: a crash when MATLAB quits after `clear velto`. Here the
// library gets a handle of its own and hands its destructors to glibc when it
// is unloaded, as a GCC build does.
extern "C" {
__attribute__((visibility("hidden"))) void* __dso_handle = &__dso_handle;
int __cxa_finalize(void* dso);
}

namespace {

__attribute__((destructor)) void run_static_destructors_at_unload() { __cxa_finalize(&__dso_handle); }

}  // namespace

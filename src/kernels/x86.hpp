// Whether the wide forms of the kernels are built: on x86-64, with a compiler that can
// build a function for instructions beyond those the rest of the program is built for.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KVR_X86_KERNELS 1
#endif

namespace kvr::kernels {

namespace plain {}
#if !defined(KVR_X86_KERNELS)
// Without the wide forms the plain ones stand in for them, so that the entries and the
// tests build everywhere; the entries never ask for them.
namespace sse2 = plain;
namespace avx2 = plain;
namespace avx512 = plain;
#endif

}  // namespace kvr::kernels

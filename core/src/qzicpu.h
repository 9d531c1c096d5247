// Processor features that the SIMD paths of the decoder and the texture library choose by.
// Header-only, so the texture library reaches it without linking the core library; each
// library holds its own answer, hidden inside it.
#ifndef QZICPU_H
#define QZICPU_H

namespace qzimg {

#if defined(__x86_64__)
// The test runs in a static initialiser, possibly before the runtime has probed the
// processor, hence the explicit probe.
__attribute__((visibility("hidden"))) inline const bool kHaveSsse3 =
    (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
#endif

}  // namespace qzimg

#endif  // QZICPU_H

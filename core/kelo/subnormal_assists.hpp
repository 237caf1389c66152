#pragma once

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#include <cstring>
#endif

namespace kelo::detail {

/**
 * Whether this CPU takes a microcode assist, of about a hundred cycles, for a
 * float product that rounds to a subnormal or has a subnormal factor. Where it
 * does, the kernels form such products in double, which gives the same bits;
 * where it does not, that detour only costs time.
 *
 * AMD's cores of family 19h and later (Zen 3 on) form subnormal products in
 * hardware: on Zen 4, float gradients at lmax 64 took 1.07 times as long near
 * the poles as near the equator with plain float products, and 1.29 times with
 * the products formed in double. Any other CPU is taken to need the detour.
 * Defining KELO_SUBNORMAL_ASSISTS to 0 or 1 beforehand fixes the answer, so
 * that either path can be tested on any machine.
 */
inline bool subnormalProductsTakeAssists() {
#if defined(KELO_SUBNORMAL_ASSISTS)
    return KELO_SUBNORMAL_ASSISTS != 0;
#elif defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const bool assists = [] {
        unsigned int highest = 0;
        unsigned int vendor[3] = {};
        if (__get_cpuid(0, &highest, &vendor[0], &vendor[2], &vendor[1]) == 0 || highest < 1 ||
            std::memcmp(vendor, "AuthenticAMD", sizeof vendor) != 0) {
            return true;
        }
        unsigned int signature = 0;
        unsigned int unused = 0;
        __get_cpuid(1, &signature, &unused, &unused, &unused);
        const unsigned int baseFamily = (signature >> 8) & 0xf;
        const unsigned int family = baseFamily == 0xf ? baseFamily + ((signature >> 20) & 0xff) : baseFamily;
        return family < 0x19;
    }();
    return assists;
#else
    return true;
#endif
}

}  // namespace kelo::detail

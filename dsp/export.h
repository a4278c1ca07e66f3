/* Symbol visibility of the core's public interface.
 *
 * Contract:
 * - The library is compiled with hidden visibility, so a shared build exports exactly what this
 *   macro marks: the public member functions defined out of line, the free functions of the
 *   public headers and the C API. Private members stay inside the library.
 * - BANDCORE_API expands to GCC's and clang's default-visibility attribute, and to nothing for
 *   other compilers. It marks declarations only; static and shared builds use the same headers.
 * - Valid C99 and C++17, so that the C API's header can include it. */
#ifndef DSP_EXPORT_H
#define DSP_EXPORT_H

#if defined(__GNUC__)
#define BANDCORE_API __attribute__((visibility("default")))
#else
#define BANDCORE_API
#endif

#endif

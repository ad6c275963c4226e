/* Export macro shared by the class interface and the C interface.
 *
 * The library is built with hidden visibility; only what is marked
 * VARNEL_API is visible to applications. VARNEL_BUILDING is defined only
 * while the library itself is compiled. */
#ifndef VARNEL_EXPORT_H
#define VARNEL_EXPORT_H

#if defined(_WIN32)
#if defined(VARNEL_BUILDING)
#define VARNEL_API __declspec(dllexport)
#else
#define VARNEL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VARNEL_API __attribute__((visibility("default")))
#else
#define VARNEL_API
#endif

#endif /* VARNEL_EXPORT_H */

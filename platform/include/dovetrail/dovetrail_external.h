/* Export and calling-convention macros of the plug-in's C interface.
 *
 * DOVETRAIL_EXPORT marks the one symbol the library exports; every other symbol is hidden by the
 * build. DOVETRAIL_CALL is the calling convention of the exported function and of every entry
 * point: hosts on 32-bit Windows call them as __cdecl, elsewhere it expands to nothing. */
#ifndef DOVETRAIL_EXTERNAL_H
#define DOVETRAIL_EXTERNAL_H

#if defined(_WIN32) && !defined(_WIN64) && (defined(_MSC_VER) || defined(__GNUC__))
#define DOVETRAIL_CALL __cdecl
#else
#define DOVETRAIL_CALL
#endif

#if defined(_WIN32)
#if defined(DOVETRAIL_BUILDING_PLUGIN)
#define DOVETRAIL_EXPORT __declspec(dllexport)
#else
#define DOVETRAIL_EXPORT __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define DOVETRAIL_EXPORT __attribute__((visibility("default")))
#else
#define DOVETRAIL_EXPORT
#endif

#endif /* DOVETRAIL_EXTERNAL_H */

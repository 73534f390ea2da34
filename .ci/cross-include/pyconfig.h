/* pyconfig.h for the cross-compilation check (.ci/cross), one file for every target.
 *
 * CPython's headers are the same on every platform except pyconfig.h, which its configure
 * step (or, on Windows, PC/pyconfig.h) writes for one machine. The stable ABI that the module
 * is built against reads few of its settings: the sizes of the C types, which system headers
 * exist, and on Windows the macros that make PyAPI_FUNC a DLL import and PyMODINIT_FUNC a DLL
 * export. Each is taken here from what the compiler predefines for the target, so the same file
 * serves Linux (glibc and musl), macOS and Windows. It is good for compiling and linking the
 * module; a wheel is always built against the target's own pyconfig.h.
 */
#ifndef QUILLMARK_CROSS_PYCONFIG_H
#define QUILLMARK_CROSS_PYCONFIG_H

#define SIZEOF_SHORT __SIZEOF_SHORT__
#define SIZEOF_INT __SIZEOF_INT__
#define SIZEOF_LONG __SIZEOF_LONG__
#define SIZEOF_LONG_LONG __SIZEOF_LONG_LONG__
#define SIZEOF_LONG_DOUBLE __SIZEOF_LONG_DOUBLE__
#define SIZEOF_FLOAT __SIZEOF_FLOAT__
#define SIZEOF_DOUBLE __SIZEOF_DOUBLE__
#define SIZEOF_VOID_P __SIZEOF_POINTER__
#define SIZEOF_SIZE_T __SIZEOF_SIZE_T__
#define SIZEOF_UINTPTR_T __SIZEOF_POINTER__
#define SIZEOF_WCHAR_T __SIZEOF_WCHAR_T__
#define SIZEOF__BOOL 1
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T 4

#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#if defined(_WIN32)
/* What PC/pyconfig.h says for a 64-bit extension module. */
#  define NT_THREADS 1
#  define MS_WIN32 1
#  define MS_WINDOWS 1
#  if defined(_WIN64)
#    define MS_WIN64 1
#  endif
#  define HAVE_DECLSPEC_DLL 1
#  define Py_ENABLE_SHARED 1
#  define HAVE_STAT_H 1
#else
#  define HAVE_UNISTD_H 1
#  define HAVE_SYS_TIME_H 1
#  define HAVE_SSIZE_T 1
#  define HAVE_PTHREAD_H 1
#  define _POSIX_THREADS 1
#endif

#endif

/* Export and linkage macros shared by every public header of libtarvo. */
#ifndef TARVO_EXPORT_H
#define TARVO_EXPORT_H

/* Marks a declaration as exported by the shared library. */
#if defined(__GNUC__)
#define TARVO_API __attribute__((visibility("default")))
#else
#define TARVO_API
#endif

/* Open and close C linkage around a header's declarations when included from C++. */
#ifdef __cplusplus
#define TARVO_BEGIN_DECLS extern "C" { /* opens C linkage */
#define TARVO_END_DECLS }                /* closes it */
#else
#define TARVO_BEGIN_DECLS /* nothing in C */
#define TARVO_END_DECLS   /* nothing in C */
#endif

#endif /* TARVO_EXPORT_H */

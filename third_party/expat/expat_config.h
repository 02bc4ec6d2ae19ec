/* expat's build configuration for the Windows build (i686, mingw-w64), written by hand: expat's
 * own CMake configuration of Debian's patched source does not build (it defines XML_DTD empty,
 * where the patched xmlparse.c tests "XML_DTD == 1"). The features match those of Debian's
 * libexpat, which the Linux build uses, so both parse alike. */
#ifndef DOVETRAIL_EXPAT_CONFIG_H
#define DOVETRAIL_EXPAT_CONFIG_H

/* x86 is little-endian. */
#define BYTEORDER 1234

/* Bytes of context kept around the current position for XML_GetInputContext. */
#define XML_CONTEXT_BYTES 1024

/* Document type declarations with their entity protections, and namespace processing. */
#define XML_DTD 1
#define XML_NS 1

/* Entropy for the hash salt comes from rand_s(), which expat uses on Windows by itself. */

#endif /* DOVETRAIL_EXPAT_CONFIG_H */

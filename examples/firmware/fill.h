/* Compile-time filler bytes: FILL_<n>(seed, prefix) expands to n
 * initialisers of a byte table whose values depend on the index, so that
 * every byte of a large table differs from its neighbours and a byte put
 * at the wrong address shows.  `prefix` is the index in hex without its
 * last log16(n) digits, e.g. FILL_256(7, 1C0) covers indices 0x1C000 to
 * 0x1C0FF. */
#ifndef EXAMPLE_FILL_H
#define EXAMPLE_FILL_H

#define FILL_BYTE(s, i) \
    ((unsigned char)(((((unsigned)(i)) ^ (unsigned)(s)) * 2654435761u) >> 24))

#define FILL_16(s, p) \
    FILL_BYTE(s, 0x##p##0), FILL_BYTE(s, 0x##p##1), FILL_BYTE(s, 0x##p##2), \
    FILL_BYTE(s, 0x##p##3), FILL_BYTE(s, 0x##p##4), FILL_BYTE(s, 0x##p##5), \
    FILL_BYTE(s, 0x##p##6), FILL_BYTE(s, 0x##p##7), FILL_BYTE(s, 0x##p##8), \
    FILL_BYTE(s, 0x##p##9), FILL_BYTE(s, 0x##p##A), FILL_BYTE(s, 0x##p##B), \
    FILL_BYTE(s, 0x##p##C), FILL_BYTE(s, 0x##p##D), FILL_BYTE(s, 0x##p##E), \
    FILL_BYTE(s, 0x##p##F)

#define FILL_256(s, p) \
    FILL_16(s, p##0), FILL_16(s, p##1), FILL_16(s, p##2), FILL_16(s, p##3), \
    FILL_16(s, p##4), FILL_16(s, p##5), FILL_16(s, p##6), FILL_16(s, p##7), \
    FILL_16(s, p##8), FILL_16(s, p##9), FILL_16(s, p##A), FILL_16(s, p##B), \
    FILL_16(s, p##C), FILL_16(s, p##D), FILL_16(s, p##E), FILL_16(s, p##F)

#define FILL_4096(s, p) \
    FILL_256(s, p##0), FILL_256(s, p##1), FILL_256(s, p##2), FILL_256(s, p##3), \
    FILL_256(s, p##4), FILL_256(s, p##5), FILL_256(s, p##6), FILL_256(s, p##7), \
    FILL_256(s, p##8), FILL_256(s, p##9), FILL_256(s, p##A), FILL_256(s, p##B), \
    FILL_256(s, p##C), FILL_256(s, p##D), FILL_256(s, p##E), FILL_256(s, p##F)

#define FILL_65536(s, p) \
    FILL_4096(s, p##0), FILL_4096(s, p##1), FILL_4096(s, p##2), FILL_4096(s, p##3), \
    FILL_4096(s, p##4), FILL_4096(s, p##5), FILL_4096(s, p##6), FILL_4096(s, p##7), \
    FILL_4096(s, p##8), FILL_4096(s, p##9), FILL_4096(s, p##A), FILL_4096(s, p##B), \
    FILL_4096(s, p##C), FILL_4096(s, p##D), FILL_4096(s, p##E), FILL_4096(s, p##F)

#endif

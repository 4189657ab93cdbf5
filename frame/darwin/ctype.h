/* Darwin declarations: the host SDK's headers include ctype.h, but neither they nor the externals
   classify characters. Darwin's classification goes through its own rune tables, not glibc's
   __ctype_b_loc: declare the functions here when something needs them. */
#ifndef TILDEKIT_DARWIN_CTYPE_H
#define TILDEKIT_DARWIN_CTYPE_H
#endif

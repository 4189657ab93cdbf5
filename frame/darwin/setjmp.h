/* Darwin declarations: the host SDK's headers include setjmp.h, but nothing uses it. jmp_buf's
   size is Darwin's own per architecture; declare it here, with its libSystem entries, only when
   something needs it. */
#ifndef TILDEKIT_DARWIN_SETJMP_H
#define TILDEKIT_DARWIN_SETJMP_H
#endif

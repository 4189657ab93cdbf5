/* Object extensions: in this header set everything lives in ext.h. */
#ifndef TILDEKIT_EXT_OBEX_H
#define TILDEKIT_EXT_OBEX_H
#include <ext.h>
#endif

/* The public header must compile as C89 (this file is built with -std=c89 -pedantic-errors). */
#include "quillon.h"

int quillon_header_compiles_as_c89(void) {
    tQuillonFILEINFO info;
    info.length = 0;
    return (int)sizeof info;
}

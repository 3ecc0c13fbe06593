/* mingw-w64 declares alloca in malloc.h. */
#pragma once
#include <malloc.h>

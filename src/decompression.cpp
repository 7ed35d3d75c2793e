#include "decompression.h"

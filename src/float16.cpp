#include "float16.h"

#include "binstream.h"

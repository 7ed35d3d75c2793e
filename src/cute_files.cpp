#include "cute_files.h"

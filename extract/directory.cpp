#include "directory.h"

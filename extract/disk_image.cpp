#include "disk_image.h"

// drupa: expands one VKP file. (Placeholder until the expander lands.)
#include <cstdio>

#include "decoder.h"

int main() { return 1; }

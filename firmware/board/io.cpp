#include "board/io.h"

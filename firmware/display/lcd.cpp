#include "display/lcd.h"

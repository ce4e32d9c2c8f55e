#include "startup/sequence.h"

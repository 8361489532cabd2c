#include "stringcipher.h"

// End to end with the real storage engine on loopback.
#include <gtest/gtest.h>
int placeholder;

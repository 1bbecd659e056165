#include <gtest/gtest.h>
int placeholder;

#include "tally.hpp"
int main() { return tally::report(); }

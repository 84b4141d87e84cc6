#include "main/startup.h"

int main(int argc, char** argv) { return vorn::personality_main(argc, argv); }

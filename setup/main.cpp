// setup's entry: a windowed program with no window of its own.
#include <windows.h>

#include "setup_flow.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return kvi::setup::run(); }

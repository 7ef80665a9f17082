// vtl-load-by-name.exe NAME: loads the DLL NAME as a program that restricts nothing does,
// by name alone, so the search starts in this exe's folder. Exit status 0 when loaded.
#include <windows.h>

int main(int argc, char** argv) { return argc == 2 && LoadLibraryA(argv[1]) ? 0 : 1; }

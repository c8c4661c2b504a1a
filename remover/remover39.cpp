// Remover39.exe: the program's one application object.
#include "tfunistapp.h"

CTfUnistApp theApp;

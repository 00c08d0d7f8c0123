#include "TopAdapterTask.h"

int main(int, char**, char**) { return topAdapterMain(); }

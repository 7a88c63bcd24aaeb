#include "app/Application.h"

int main(int argc, char** argv) { return quorvex::runApplication(argc, argv); }

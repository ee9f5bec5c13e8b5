#include "host/console.hpp"

void NESUnit::detectOS(const char*) {}
bool NESUnit::setSaveDir(const std::string&) { return false; }
void NESUnit::save(int) {}
bool NESUnit::load(int) { return false; }

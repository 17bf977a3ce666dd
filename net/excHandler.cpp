#include "net/excHandler.h"

excHandler::excHandler(const std::string& func_name) : func_name_(func_name) {}

std::string excHandler::getFuncName() const { return func_name_; }

#include "run/results.h"

std::string groupOf(const std::string& checkName) {
    return checkName.substr(0, checkName.find('.'));
}

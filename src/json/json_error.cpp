#include "json/json_error.hpp"

namespace plim {

std::string json_error_text(const JsonInputError& error) {
    if (error.line == 0) return error.message;
    std::string text = error.message;
    text += " at line ";
    text += std::to_string(error.line);
    text += " column ";
    text += std::to_string(error.column);
    return text;
}

}  // namespace plim

#include "run/model.hpp"

namespace model {
Model m;
}

#include "engine/engine.h"

namespace hf::engine {

std::string_view verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::gone:
        return "gone";
    case Verdict::ambienceZero:
        return "ambienceZero";
    case Verdict::stillThere:
        return "stillThere";
    }
    return "gone";
}

} // namespace hf::engine

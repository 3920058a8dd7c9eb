// The faces by name (see faces.h).
#include "faces/faces.h"

const Face *find_face(const std::string &name) {
    for (const Face *face : {&HANDLER_FACE, &BACKEND_FACE, &FLAT_FACE})
        if (name == face->name) return face;
    return nullptr;
}

// Registers the application core's types with the QML module "Ostrelo" 1.0:
// the program, its QML tests and the window benchmark register the same.
#ifndef OSTRELO_QML_TYPES_REGISTER_H
#define OSTRELO_QML_TYPES_REGISTER_H

void registerOstreloQmlTypes();

#endif

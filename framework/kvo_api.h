// Visibility of the host framework's classes.
//
// The plug-in is built with hidden default visibility so that it exports nothing but its entry
// point. The host's classes are the exception: their type information and the tables of the
// classes the plug-in carries inline must stay visible so that host and plug-in agree on one
// type across the library boundary.
#pragma once

#define KVO_API __attribute__((visibility("default")))

#pragma once

#include <string>

// Which config.xml the console reads and saves to: one named on the command
// line, one beside the executable (the build tree, a copied folder), or the
// user's own, made from the shipped default on the first start.

struct ConfigSearch {
    std::string strGiven;      // the file of --config; empty when not given
    std::string strExeDir;     // the executable's folder
    std::string strConfigHome; // $XDG_CONFIG_HOME
    std::string strHome;       // $HOME
    std::string strDefault;    // the shipped default config.xml
};

// Outcomes of FindConfig.
enum {
    CONFIG_GIVEN = 0,        // the file named by --config
    CONFIG_BESIDE_EXE = 1,   // config.xml in the executable's folder
    CONFIG_USER = 2,         // the user's config.xml
    CONFIG_CREATED = 3,      // the user's config.xml, just copied from the default
    CONFIG_MISSING = -1,     // none of them, and no default to copy
    CONFIG_COPY_FAILED = -2, // the default could not be copied
};

// Chooses the config.xml, in this order: the given file; config.xml in the
// executable's folder; the user's config.xml ($XDG_CONFIG_HOME/quillmark/
// config.xml, or ~/.config/quillmark/config.xml when $XDG_CONFIG_HOME is
// empty or relative), copied from the default when it does not exist. A name
// that exists counts even when it is no readable file (a dangling link, a
// folder), so that the console reports it instead of quietly using another.
// path gets the file chosen; on a negative result the file the console is to
// report missing: the user's, or the one beside the executable when there is
// no user folder. The copy lands whole or not at all (missing folders are
// made with mode 0700); CONFIG_COPY_FAILED leaves the errno in osError.
int FindConfig(const ConfigSearch& search, std::string& path, int& osError);

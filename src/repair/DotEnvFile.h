#pragma once

#include <QString>
#include <optional>

namespace nerim {
class ProjectDataFolder;
}

namespace nerim {

// The project's `.env` file, to which the repair loop adds the secret values the
// user hands to the Repair agent. Values are written so that the readers a
// project uses (a shell that sources the file, Node's dotenv, python-dotenv)
// all read them back as they were. The value is a secret: nothing here logs it
// or puts it into an error text.
namespace DotEnvFile {

// The first line of a `.env` the repair loop creates (or finds empty).
inline const QString header = QStringLiteral("# Managed by Nerim's Repair agent \u2014 feel free to edit.");

// Whether a file name is that of a local .env file, one whose values stay on
// this computer: ".env", or ".env." and more but the examples (".env.example",
// ".env.sample", ".env.template"). ".envrc" and ".environment" are not.
bool isLocalName(const QString &name);

// A variable name a dotenv reader and a shell accept: [A-Za-z_][A-Za-z0-9_]*.
bool isValidName(const QString &name);

// The value as written after "NAME=", with its carriage returns and line
// feeds removed first: as it is when every character is plain (letters,
// digits and "_./:@%+,-"); else in single quotes when it holds no "'" (and no
// backslash the dotenv readers would take as an escape); else in double
// quotes when nothing in it means something there ('"', "$", "`", a backslash
// before a character some reader unescapes). The three readers give back
// exactly the value from each of these forms.
//
// Some values have no such form (e.g. one holding both kinds of quote, or
// "${NAME}", which python-dotenv replaces with another variable): then
// nothing, and `why`, when given, says so in a sentence without the value.
std::optional<QString> encodeValue(const QString &value, QString *why = nullptr);

// Adds "NAME=value" as the last line of <projectPath>/.env (an earlier line for
// the same name stays). Returns nothing on success, else a sentence saying why
// the file was left as it was. Blocks on disk: call it off the GUI thread.
//
// - A value that cannot be written so that every reader reads it back (see
//   encodeValue) is refused, and the file is not touched.
// - A missing file is created with mode 0600, starting with the header line.
// - An existing file keeps its bytes exactly (a byte-order mark included) and
//   its owner's permission bits, but loses those of group and others, since it
//   now holds a secret; no backup copy is ever written.
// - An unfinished last line is ended with a line feed; one that ends in a
//   backslash (a shell would join the next line to it) is followed by an
//   empty line.
// - A `.env` that is a symbolic link is written through to its target only
//   when the link's own text names a regular file inside the project folder
//   that is reached from it without any further link and whose own name is a
//   local .env name (`.env.local`, `config/.env`); a link to anything else
//   (`public/robots.txt`, `.env.example`) is refused, naming where it leads. Everything is done
//   from the project folder as it was opened and within the target's open
//   folder, so a folder swapped for a link meanwhile cannot send the write
//   anywhere else.
// - An existing file that cannot be read (no permission, not a regular file,
//   not UTF-8 text) is never treated as empty: it is left alone.
std::optional<QString> append(const QString &projectPath, const QString &name, const QString &value);
// The same for the project of the data folder door `door`, and only when the
// door may write: a Nerim that does not hold the project changes no `.env`.
std::optional<QString> append(const ProjectDataFolder &door, const QString &name, const QString &value);

} // namespace DotEnvFile
} // namespace nerim

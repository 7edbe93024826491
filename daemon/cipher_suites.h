// The High and Medium cipher tables, read at start-up from the listings that
// `openssl ciphers -v` writes. Filled before the workers are forked and only
// read afterwards.
#ifndef KEELGATE_DAEMON_CIPHER_SUITES_H
#define KEELGATE_DAEMON_CIPHER_SUITES_H

enum CipherSuitesType { CIPHER_SUITES_HIGH = 0, CIPHER_SUITES_MEDIUM = 1 };

// Adds the ciphers of the listing file at `path` to the table of `type`
// (0 High, 1 Medium). Every line is checked on its own: a bad line is logged
// and skipped, the good ones are kept.
void extract_ciphers_map(const char* path, int type);

// Runs `<home>/script/openssl ciphers -v "<cipherClass>"` as a child with its
// output in the new file <home><listing> (mode 0600), adds the listing to the
// table of `type` and removes the file. False, logged, when the file cannot be
// made, the command fails (the file is then left in place) or the file is
// gone when it ends. The command is shown in the log as the shell line it
// stands for.
bool loadCipherClass(const char* cipherClass, const char* listing, int type);

#endif

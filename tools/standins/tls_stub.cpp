// Stand-in for the TLS libraries the application ships with: a real DLL that
// loads and exports one function, so copying and loading it can be checked.
extern "C" int ZentrovaTlsVersion() {
    return 1;
}

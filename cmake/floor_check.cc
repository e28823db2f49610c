// An empty program: the build links one floor's library whole into it, with
// only the libraries below, so that a call into a floor above fails to link.
int main() { return 0; }

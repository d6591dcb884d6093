// The binary whose precompiled headers every test binary reuses; it runs no test.
int main() { return 0; }

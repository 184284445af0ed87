// Stands in for an installer that fails: exits with code 1.

int main() { return 1; }

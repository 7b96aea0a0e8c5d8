// Process entry of vyn.
int main() { return 0; }

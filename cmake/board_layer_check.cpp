// Linked with the board's hardware models alone, whole: the link fails if a model calls into the
// platform stand-in or anything else above it.
int main() {
    return 0;
}

/* The smallest program there is: the images built from it differ only in their resources. */
int main(void) { return 0; }

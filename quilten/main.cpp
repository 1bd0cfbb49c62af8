#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    std::puts("Alocarea dinamica de memorie!");

    char nume[100];
    std::strcpy(nume, "Ilvar Pesdun");

    // A fixed request, not the length of the text: the record keeps room for
    // a longer description.
    char* descriere = static_cast<char*>(std::malloc(200));
    if (descriere == nullptr) {
        std::fwrite("Memoria nu a putut fi alocata", 1, 29, stderr);
    } else {
        std::strcpy(
            descriere,
            "Acesta este un curs de C/C++ pe care este        bine sa-l parcurgeti pana la final");
    }

    std::printf("Nume: %s.\n", nume);
    // printf's "%s" must never see a null pointer; the marker stands in for
    // the description that could not be kept.
    std::printf("Descriere: %s.\n", descriere != nullptr ? descriere : "(null)");

    std::free(descriere);
    return 0;
}

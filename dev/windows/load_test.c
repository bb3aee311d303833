/* Run under Wine by dev/wheels.sh: loads rowmint.pyd the way the
 * interpreter does (LoadLibrary, then PyInit_rowmint), beside a python3.dll
 * whose functions are stubs. Loading runs the module's static initialisers;
 * PyInit_rowmint only hands out its module definition (multi-phase
 * initialisation), which the stub PyModuleDef_Init returns unchanged. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

/* The start of PyModuleDef on 64-bit Windows, up to m_slots. */
struct module_definition {
    void* ob_refcnt;
    void* ob_type;
    void* m_init;
    long long m_index;
    void* m_copy;
    const char* m_name;
    const char* m_doc;
    long long m_size;
    void* m_methods;
    void* m_slots;
};

int main(void)
{
    HMODULE module = LoadLibraryW(L"rowmint.pyd");
    if (module == NULL) {
        printf("rowmint.pyd does not load: error %lu\n", GetLastError());
        return 1;
    }
    FARPROC found = GetProcAddress(module, "PyInit_rowmint");
    if (found == NULL) {
        printf("rowmint.pyd has no PyInit_rowmint\n");
        return 1;
    }
    typedef void* (*init_function)(void);
    init_function init;
    memcpy(&init, &found, sizeof init);
    const struct module_definition* definition = (const struct module_definition*)init();
    if (definition == NULL || definition->m_name == NULL || strcmp(definition->m_name, "rowmint") != 0) {
        printf("PyInit_rowmint did not return the module definition of rowmint\n");
        return 1;
    }
    if (definition->m_slots == NULL) {
        printf("rowmint's module definition has no slots (multi-phase initialisation)\n");
        return 1;
    }
    printf("PyInit_rowmint returned the module definition of %s\n", definition->m_name);
    return FreeLibrary(module) ? 0 : 1;
}

// chkstk_win64.cpp: the stack probe of the x64 DLL, with unwind data.
//
// GCC calls ___chkstk_ms before allocating a frame of over a page (rax = the frame's size) so
// that each page below the stack pointer is touched in order and Windows can grow the stack
// one guard page at a time. libgcc's version has no function-table entry, so a fault in it
// (a stack overflow) would stop a host's handler from walking back to its own frame; this one
// describes its two pushes. It keeps every register but the flags.
#if defined(_WIN64) && defined(__x86_64__)
__asm__(".text\n"
        ".globl ___chkstk_ms\n"
        ".def ___chkstk_ms; .scl 2; .type 32; .endef\n"
        ".seh_proc ___chkstk_ms\n"
        "___chkstk_ms:\n"
        "    pushq %rcx\n"
        "    .seh_pushreg %rcx\n"
        "    pushq %rax\n"
        "    .seh_pushreg %rax\n"
        "    .seh_endprologue\n"
        "    leaq 24(%rsp), %rcx\n"     // the caller's stack pointer, above its return address
        "1:  cmpq $0x1000, %rax\n"
        "    jb 2f\n"
        "    subq $0x1000, %rcx\n"      // one page down: touch it
        "    orq $0, (%rcx)\n"
        "    subq $0x1000, %rax\n"
        "    jmp 1b\n"
        "2:  subq %rax, %rcx\n"         // the rest of the frame, under a page
        "    orq $0, (%rcx)\n"
        "    popq %rax\n"
        "    popq %rcx\n"
        "    ret\n"
        ".seh_endproc\n");
#endif

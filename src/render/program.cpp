// Program building with the compile and link results read back: a shader the driver rejects
// otherwise draws nothing and says nothing.
#include "render/program.h"

#include <vector>

namespace qm {

namespace {

// A shader's or a program's info log, without the line ends drivers add.
std::string infoLog(GLuint object, PFNGLGETSHADERIVPROC getLength,
                    PFNGLGETSHADERINFOLOGPROC getLog) {
    GLint length = 0;
    getLength(object, GL_INFO_LOG_LENGTH, &length);
    std::vector<GLchar> log(static_cast<std::size_t>(length > 0 ? length : 0) + 1, '\0');
    getLog(object, static_cast<GLsizei>(log.size()), nullptr, log.data());
    std::string text(log.data());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "(the driver gave no log)" : text;
}

std::string shaderLog(GLuint shader) {
    return infoLog(shader, glGetShaderiv, glGetShaderInfoLog);
}

std::string programLog(GLuint program) {
    return infoLog(program, glGetProgramiv, glGetProgramInfoLog);
}

void deleteAll(GLuint vertexShader, GLuint fragmentShader, GLuint program) {
    glDeleteProgram(program);
    glDeleteShader(fragmentShader);
    glDeleteShader(vertexShader);
}

} // namespace

bool compileShader(GLuint shader, const char* source, std::string& failure) {
    GLint type = 0;
    glGetShaderiv(shader, GL_SHADER_TYPE, &type);
    const bool vertexStage = type == GL_VERTEX_SHADER;
    const char* parts[] = {vertexStage ? vertexShaderPrefix : fragmentShaderPrefix, source,
                           vertexStage ? vertexShaderSuffix : fragmentShaderSuffix};
    glShaderSource(shader, 3, parts, nullptr);
    glCompileShader(shader);
    GLint compiled = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (compiled == GL_TRUE) {
        return true;
    }
    failure = std::string(vertexStage ? "vertex shader" : "fragment shader") +
              " did not compile: " + shaderLog(shader);
    return false;
}

GLuint buildProgram(const char* vertexSource, const char* fragmentSource, std::string& failure) {
    const GLuint vertexShader = glCreateShader(GL_VERTEX_SHADER);
    const GLuint fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    const GLuint program = glCreateProgram();
    if (vertexShader == 0 || fragmentShader == 0 || program == 0) {
        deleteAll(vertexShader, fragmentShader, program);
        failure = "the GL made no shader or program object (is a context current?)";
        return 0;
    }
    if (!compileShader(vertexShader, vertexSource, failure) ||
        !compileShader(fragmentShader, fragmentSource, failure)) {
        deleteAll(vertexShader, fragmentShader, program);
        return 0;
    }
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);
    glDetachShader(program, vertexShader);
    glDetachShader(program, fragmentShader);
    // Detached shaders would otherwise live, unreachable, until the context goes.
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
        failure = "link failed: " + programLog(program);
        glDeleteProgram(program);
        return 0;
    }
    return program;
}

} // namespace qm
